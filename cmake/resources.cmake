# The image tool library and the resources linked into the executables.
#
# The programmer carries the FPGA data image (FPGADATA 144) and the
# serial-flash image (EEPROMDATA 145), both scrambled, and the settings record
# (APPSETTING 146), plain, inside the executable; nothing is read from files
# at run time. Plain files given through the options below are embedded;
# without them the build makes the demo images and the default settings
# record with vexu-resgen, which uses the image tool.

set(VEXU_FPGA_IMAGE "" CACHE FILEPATH "Plain FPGA data image to embed (default: the demo image)")
set(VEXU_EEPROM_IMAGE "" CACHE FILEPATH "Plain serial-flash image to embed (default: the demo image)")
set(VEXU_SETTINGS_FILE "" CACHE FILEPATH "Settings record of 1404 bytes to embed (default: the built-in defaults)")

# Data-image reader, builder and the demo images (vexu-cli image, tests, build).
file(GLOB VEXU_IMAGETOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/image/*.cpp)
add_library(vexu_imagetool STATIC ${VEXU_IMAGETOOL_SOURCES})
target_include_directories(vexu_imagetool PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(vexu_imagetool PUBLIC vexu_sim)

add_executable(vexu-resgen ${CMAKE_SOURCE_DIR}/tools/resgen/resgen.cpp)
target_link_libraries(vexu-resgen PRIVATE vexu_imagetool)

set(VEXU_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${VEXU_GENERATED_DIR})

# Resolves one input: the given file, or a generated default.
function(vexu_resource_input option_value resgen_command default_name out_var)
  if(option_value)
    if(NOT EXISTS "${option_value}")
      message(FATAL_ERROR "Resource file not found: ${option_value}")
    endif()
    set(${out_var} "${option_value}" PARENT_SCOPE)
  else()
    set(file ${VEXU_GENERATED_DIR}/${default_name})
    add_custom_command(OUTPUT ${file}
      COMMAND vexu-resgen ${resgen_command} ${file}
      DEPENDS vexu-resgen
      COMMENT "Making ${default_name}")
    set(${out_var} "${file}" PARENT_SCOPE)
  endif()
endfunction()

vexu_resource_input("${VEXU_FPGA_IMAGE}" demo-fpga demo_fpga.dat VEXU_FPGA_PLAIN)
vexu_resource_input("${VEXU_EEPROM_IMAGE}" demo-eeprom demo_eeprom.bin VEXU_EEPROM_PLAIN)
vexu_resource_input("${VEXU_SETTINGS_FILE}" settings AppSetting.bin VEXU_SETTINGS_PLAIN)

add_custom_command(OUTPUT ${VEXU_GENERATED_DIR}/embedded_resources.cpp
  COMMAND vexu-resgen embed ${VEXU_GENERATED_DIR}/embedded_resources.cpp
          144 FPGADATA scrambled ${VEXU_FPGA_PLAIN}
          145 EEPROMDATA scrambled ${VEXU_EEPROM_PLAIN}
          146 APPSETTING plain=1404 ${VEXU_SETTINGS_PLAIN}
  DEPENDS vexu-resgen ${VEXU_FPGA_PLAIN} ${VEXU_EEPROM_PLAIN} ${VEXU_SETTINGS_PLAIN}
  COMMENT "Embedding the images and the settings record")

# What --version tells: the version, the source revision (looked at on every
# build, the file rewritten only when it changed) and the embedded images.
set(VEXU_SOURCE_REVISION "" CACHE STRING "Source revision for --version (default: git describe of the source)")
# On Windows the version resources carry the revision too (a header for
# the resource script).
set(VEXU_REVISION_RC_HEADER ${VEXU_GENERATED_DIR}/source_revision_rc.h)
set(vexu_revision_rc_args "")
set(vexu_revision_rc_byproducts "")
if(WIN32)
  set(vexu_revision_rc_args -DRC_OUT=${VEXU_REVISION_RC_HEADER})
  set(vexu_revision_rc_byproducts ${VEXU_REVISION_RC_HEADER})
endif()
add_custom_target(vexu_source_revision
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUT=${VEXU_GENERATED_DIR}/source_revision.cpp
          -DVERSION=${PROJECT_VERSION} -DREVISION=${VEXU_SOURCE_REVISION}
          ${vexu_revision_rc_args}
          -P ${CMAKE_SOURCE_DIR}/cmake/source_revision.cmake
  BYPRODUCTS ${VEXU_GENERATED_DIR}/source_revision.cpp ${vexu_revision_rc_byproducts}
  COMMENT "Looking up the source revision")
set(VEXU_FPGA_IS_DEMO 1)
set(VEXU_EEPROM_IS_DEMO 1)
if(VEXU_FPGA_IMAGE)
  set(VEXU_FPGA_IS_DEMO 0)
endif()
if(VEXU_EEPROM_IMAGE)
  set(VEXU_EEPROM_IS_DEMO 0)
endif()
add_custom_command(OUTPUT ${VEXU_GENERATED_DIR}/embedded_image_facts.cpp
  COMMAND vexu-resgen facts ${VEXU_GENERATED_DIR}/embedded_image_facts.cpp
          ${VEXU_FPGA_PLAIN} ${VEXU_FPGA_IS_DEMO} ${VEXU_EEPROM_PLAIN} ${VEXU_EEPROM_IS_DEMO}
  DEPENDS vexu-resgen ${VEXU_FPGA_PLAIN} ${VEXU_EEPROM_PLAIN}
  COMMENT "Describing the embedded images")

# Linked straight into every executable that carries the resources (an
# object library, so that its registration is never dropped by the linker).
add_library(vexu_embedded OBJECT ${VEXU_GENERATED_DIR}/embedded_resources.cpp
            ${VEXU_GENERATED_DIR}/embedded_image_facts.cpp ${VEXU_GENERATED_DIR}/source_revision.cpp)
target_include_directories(vexu_embedded PRIVATE ${CMAKE_SOURCE_DIR})
add_dependencies(vexu_embedded vexu_source_revision)

# Where the embedded plain files are, for the tests that check the round trip.
set(VEXU_DEMO_FPGA true)
set(VEXU_DEMO_EEPROM true)
set(VEXU_DEFAULT_SETTINGS true)
if(VEXU_FPGA_IMAGE)
  set(VEXU_DEMO_FPGA false)
endif()
if(VEXU_EEPROM_IMAGE)
  set(VEXU_DEMO_EEPROM false)
endif()
if(VEXU_SETTINGS_FILE)
  set(VEXU_DEFAULT_SETTINGS false)
endif()
file(CONFIGURE OUTPUT ${VEXU_GENERATED_DIR}/embedded_resource_files.h CONTENT
"// Generated by CMake: the plain files the build embedded.
#pragma once
constexpr const char* kEmbeddedFpgaPlainFile = \"${VEXU_FPGA_PLAIN}\";
constexpr const char* kEmbeddedEepromPlainFile = \"${VEXU_EEPROM_PLAIN}\";
constexpr const char* kEmbeddedSettingsPlainFile = \"${VEXU_SETTINGS_PLAIN}\";
constexpr bool kEmbeddedFpgaIsDemo = ${VEXU_DEMO_FPGA};
constexpr bool kEmbeddedEepromIsDemo = ${VEXU_DEMO_EEPROM};
constexpr bool kEmbeddedSettingsAreDefault = ${VEXU_DEFAULT_SETTINGS};
")
