# Build steps of the virtual camera beyond the globbed sources: its GenICam
# description is embedded at build time from sim/description.xml.
set(OCULANE_SIM_GENERATED ${CMAKE_BINARY_DIR}/generated)
set(OCULANE_SIM_DESCRIPTION_HPP ${OCULANE_SIM_GENERATED}/sim/description_xml.hpp)
add_custom_command(
  OUTPUT ${OCULANE_SIM_DESCRIPTION_HPP}
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/sim/description.xml
          -DOUT=${OCULANE_SIM_DESCRIPTION_HPP} -DNAME=kBuiltinDescription
          -P ${PROJECT_SOURCE_DIR}/sim/embed_file.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/sim/description.xml ${PROJECT_SOURCE_DIR}/sim/embed_file.cmake
  COMMENT "Embedding the virtual camera's GenICam description")
target_sources(oculane_sim PRIVATE ${OCULANE_SIM_DESCRIPTION_HPP})
target_include_directories(oculane_sim PUBLIC ${OCULANE_SIM_GENERATED})
