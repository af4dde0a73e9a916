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
inline constexpr std::uint32_t kTestControl = 0x1002C;  // test pattern, trigger mode
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
