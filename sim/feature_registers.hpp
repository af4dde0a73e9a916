#pragma once
// Addresses of the registers our own description names (description.xml),
// and the bootstrap registers the device implements beyond those the client
// library touches. Kept in one place so the description and the device agree.

#include <cstdint>

#include "gige/proto/bootstrap.hpp"

namespace oculane::sim::reg {

// Bootstrap registers not used by the client (it needs only those in
// gige/proto/bootstrap.hpp), implemented because real devices have them.
inline constexpr std::uint32_t kNumberOfInterfaces = 0x0600;
inline constexpr std::uint32_t kPersistentIp = 0x064C;
inline constexpr std::uint32_t kPersistentSubnetMask = 0x065C;
inline constexpr std::uint32_t kPersistentGateway = 0x066C;
inline constexpr std::uint32_t kNumberOfMessageChannels = 0x0900;
inline constexpr std::uint32_t kNumberOfStreamChannels = 0x0904;
inline constexpr std::uint32_t kNumberOfActionSignals = 0x0908;
inline constexpr std::uint32_t kActionDeviceKey = 0x090C;  // write-only: reads give 0
inline constexpr std::uint32_t kTimestampControl = 0x0944;  // bit 0 reset, bit 1 latch
inline constexpr std::uint32_t kTimestampValueHigh = 0x0948;
inline constexpr std::uint32_t kTimestampValueLow = 0x094C;
inline constexpr std::uint32_t kGvcpConfiguration = 0x0954;
inline constexpr std::uint32_t kGvcpConfigHeartbeatDisable = 0x1;
// This device's switch for extended ids (64-bit block ids, 32-bit packet ids)
// on every stream channel.
inline constexpr std::uint32_t kGvcpConfigExtendedIds = 0x8;
inline constexpr std::uint32_t kMessageChannelPort = bootstrap::kMessageChannelPort;
inline constexpr std::uint32_t kMessageChannelDestination = bootstrap::kMessageChannelDestination;
inline constexpr std::uint32_t kMessageChannelTimeout = bootstrap::kMessageChannelTimeout;
inline constexpr std::uint32_t kMessageChannelRetries = bootstrap::kMessageChannelRetries;
inline constexpr std::uint32_t kStreamChannelSourcePort = 0x0D1C;
inline constexpr std::uint32_t kStreamChannelCapability = 0x0D20;
inline constexpr std::uint32_t kStreamChannelConfiguration = 0x0D24;

// GVCP capability word (0x0934). Bits are numbered from the most significant
// in the standard; these are the values.
inline constexpr std::uint32_t kCapUserDefinedName = 0x80000000;
inline constexpr std::uint32_t kCapSerialNumber = 0x40000000;
inline constexpr std::uint32_t kCapHeartbeatDisable = 0x20000000;
inline constexpr std::uint32_t kCapScheduledAction = 0x00020000;
inline constexpr std::uint32_t kCapAction = 0x00000040;
inline constexpr std::uint32_t kCapPendingAck = 0x00000020;
inline constexpr std::uint32_t kCapEventData = 0x00000010;
inline constexpr std::uint32_t kCapEvent = 0x00000008;
inline constexpr std::uint32_t kCapPacketResend = 0x00000004;
inline constexpr std::uint32_t kCapWriteMem = 0x00000002;
inline constexpr std::uint32_t kCapConcatenation = 0x00000001;

// Feature registers of our description.
inline constexpr std::uint32_t kSensorWidth = 0x10000;
inline constexpr std::uint32_t kSensorHeight = 0x10004;
inline constexpr std::uint32_t kWidthMax = 0x10008;
inline constexpr std::uint32_t kHeightMax = 0x1000C;
inline constexpr std::uint32_t kWidth = 0x10010;
inline constexpr std::uint32_t kHeight = 0x10014;
inline constexpr std::uint32_t kOffsetX = 0x10018;
inline constexpr std::uint32_t kOffsetY = 0x1001C;
inline constexpr std::uint32_t kPixelFormat = 0x10020;
inline constexpr std::uint32_t kPayloadSize = 0x10024;  // computed by the device
inline constexpr std::uint32_t kImageFormatFlags = 0x10028;
inline constexpr std::uint32_t kTestControl = 0x1002C;  // test pattern
inline constexpr std::uint32_t kAcquisitionMode = 0x10030;
inline constexpr std::uint32_t kAcquisitionFrameCount = 0x10034;
inline constexpr std::uint32_t kAcquisitionStart = 0x10038;
inline constexpr std::uint32_t kAcquisitionStop = 0x1003C;
inline constexpr std::uint32_t kWidthMin = 0x10040;
inline constexpr std::uint32_t kWidthInc = 0x10044;
inline constexpr std::uint32_t kHeightMin = 0x10048;
inline constexpr std::uint32_t kHeightInc = 0x1004C;
inline constexpr std::uint32_t kAcquisitionStatus = 0x10050;
inline constexpr std::uint32_t kExposureTicks = 0x10054;
inline constexpr std::uint32_t kExposureClock = 0x10058;
inline constexpr std::uint32_t kGain = 0x10060;             // float32, big-endian
inline constexpr std::uint32_t kBlackLevel = 0x10064;       // float32, little-endian
inline constexpr std::uint32_t kGamma = 0x10068;            // float64, little-endian
inline constexpr std::uint32_t kAcquisitionFrameRate = 0x10070;  // float64, big-endian
inline constexpr std::uint32_t kDeviceTemperature = 0x10078;  // int16 LE, tenths of a degree
inline constexpr std::uint32_t kTLParamsLocked = 0x1007C;
inline constexpr std::uint32_t kLutIndex = 0x10080;
inline constexpr std::uint32_t kChunkModeActive = 0x10084;
inline constexpr std::uint32_t kAcquisitionFrameRateEnable = 0x10088;
inline constexpr std::uint32_t kTestEventGenerate = 0x10090;
inline constexpr std::uint32_t kLutTable = 0x10100;  // 256 entries of 4 bytes
inline constexpr std::uint32_t kLutEntries = 256;
inline constexpr std::uint32_t kUserData = 0x10500;  // 64 bytes
inline constexpr std::uint32_t kUserDataSize = 64;

// Chunk data control: the selector, the enable flag of each selector value
// (one word each, ChunkEnable's pIndex), and the bytes chunk mode adds to
// the image (computed, for PayloadSize).
inline constexpr std::uint32_t kChunkSelector = 0x12000;
inline constexpr std::uint32_t kChunkEnable = 0x12010;  // + 4 * selector, 9 words
inline constexpr std::uint32_t kChunkTrailerBytes = 0x12040;
inline constexpr std::uint32_t kLineStatusAll = 0x12044;  // what the LineStatusAll chunk reports
// Event control: the selector and EventNotification of each selector value.
inline constexpr std::uint32_t kEventSelector = 0x12100;
inline constexpr std::uint32_t kEventNotification = 0x12110;  // + 4 * selector, 5 words
// Event ids of AcquisitionStart, AcquisitionEnd, FrameStart, ExposureEnd,
// by EventSelector value (the test event has its own id).
inline constexpr std::uint16_t kEventIdBase = 0x9000;
// Action signals: group key and mask of signal i at 0x9800 + 16 i.
inline constexpr std::uint32_t kActionSignals = 2;
inline constexpr std::uint32_t kActionGroupKey = 0x9800;
inline constexpr std::uint32_t kActionGroupMask = 0x9804;
inline constexpr std::uint32_t kActionGroupStride = 0x10;
// Scheduled actions waiting for their time; beyond this one is refused.
inline constexpr std::uint32_t kActionQueueSize = 16;

// Trigger block (device_trigger.cpp). Per selector (FrameStart 0,
// AcquisitionStart 1) a block of mode, source, activation and a float64
// big-endian delay in microseconds; TriggerSoftware per selector.
inline constexpr std::uint32_t kTriggerSelector = 0x10600;
inline constexpr std::uint32_t kTriggerBlock = 0x10610;
inline constexpr std::uint32_t kTriggerStride = 0x20;
inline constexpr std::uint32_t kTriggerModeOffset = 0x0;
inline constexpr std::uint32_t kTriggerSourceOffset = 0x4;
inline constexpr std::uint32_t kTriggerActivationOffset = 0x8;
inline constexpr std::uint32_t kTriggerDelayOffset = 0x10;
inline constexpr std::uint32_t kTriggerSelectors = 2;
inline constexpr std::uint32_t kTriggerSoftware = 0x10660;  // + 4 * selector
inline constexpr std::uint32_t kActionSelector = 0x10670;
inline constexpr std::uint32_t kPtpEnable = 0x10674;  // read-only: 1 when the clock follows the host's
inline constexpr std::uint32_t kPtpStatus = 0x10678;  // read-only: 0 Disabled, 9 Slave
inline constexpr std::uint32_t kTriggerRegistersEnd = 0x10680;

// Values of the trigger registers.
inline constexpr std::uint32_t kFrameStart = 0;
inline constexpr std::uint32_t kAcquisitionStartTrigger = 1;
inline constexpr std::uint32_t kSourceSoftware = 0;
inline constexpr std::uint32_t kSourceLine0 = 1;  // Line0..Line2: 1..3
inline constexpr std::uint32_t kLines = 3;
inline constexpr std::uint32_t kSourceAction0 = 4;  // Action0, Action1: 4, 5
inline constexpr std::uint32_t kRisingEdge = 0;
inline constexpr std::uint32_t kFallingEdge = 1;
inline constexpr std::uint32_t kAnyEdge = 2;
inline constexpr std::uint32_t kPtpDisabled = 0;
inline constexpr std::uint32_t kPtpSlave = 9;

// Event id of the test event (TestEventGenerate).
inline constexpr std::uint16_t kTestEventId = 0x4FFF;

// Pixel format codes the description offers.
inline constexpr std::uint32_t kMono8 = 0x01080001;
inline constexpr std::uint32_t kMono10 = 0x01100003;
inline constexpr std::uint32_t kMono12 = 0x01100005;
inline constexpr std::uint32_t kMono16 = 0x01100007;
inline constexpr std::uint32_t kBayerRG8 = 0x01080009;
inline constexpr std::uint32_t kRGB8 = 0x02180014;

}  // namespace oculane::sim::reg
