# The Windows installer: vexu-programmer-VERSION-x64.msi in the build folder,
# made by wixl from vexu-programmer.wxs with vexu-cli.exe and, where the
# build makes it, the window vexu-programmer.exe. Without wixl (package
# wixl) the build says so and makes no installer.
find_program(WIXL wixl)
if(NOT WIXL)
  message(STATUS "wixl not found (package wixl): no Windows installer")
  return()
endif()
set(VEXU_MSI_SOURCE ${CMAKE_CURRENT_LIST_DIR}/vexu-programmer.wxs)
set(VEXU_MSI ${CMAKE_BINARY_DIR}/vexu-programmer-${PROJECT_VERSION}-x64.msi)
# wixl's -D arguments naming the programs, one a line (the installer test
# builds a newer version from them).
set(VEXU_MSI_PROGRAMS ${CMAKE_BINARY_DIR}/vexu-msi-programs.txt)

# The window's target is defined after this file is read: the installer is
# described once the whole project is.
function(vexu_add_installer)
  # wixl takes the programs' paths relative to the folder it runs in.
  set(programs -D "CliExe=$<PATH:RELATIVE_PATH,$<TARGET_FILE:vexu-cli>,${CMAKE_BINARY_DIR}>")
  set(depends vexu-cli)
  if(TARGET vexu-programmer)
    list(APPEND programs -D "WindowExe=$<PATH:RELATIVE_PATH,$<TARGET_FILE:vexu-programmer>,${CMAKE_BINARY_DIR}>")
    list(APPEND depends vexu-programmer)
  endif()
  string(JOIN "\n" lines ${programs})
  file(GENERATE OUTPUT ${VEXU_MSI_PROGRAMS} CONTENT "${lines}\n")
  add_custom_command(OUTPUT ${VEXU_MSI}
    COMMAND ${WIXL} -a x64 -D Version=${PROJECT_VERSION} ${programs} -o ${VEXU_MSI} ${VEXU_MSI_SOURCE}
    DEPENDS ${VEXU_MSI_SOURCE} ${depends}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    COMMENT "Building the installer ${VEXU_MSI}"
    VERBATIM)
  add_custom_target(vexu-msi ALL DEPENDS ${VEXU_MSI})
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL vexu_add_installer)
