# Every project include of a folder names a folder at its level or below:
#   platform < common < link < flash < engine < run < dialog, station < tools, app
# (sim stands in for the box and board: it may use the layers up to the
# engine, whose device tables it models; a station opens the simulated box
# when asked to).
# Qt headers are for app/ alone; dialog/ holds no toolkit header at all.
set(below_platform "")
set(below_common "platform")
set(below_link "platform;common")
set(below_flash "platform;common;link")
set(below_engine "platform;common;link;flash")
set(below_run "platform;common;link;flash;engine")
set(below_dialog "platform;common;link;flash;engine;run")
set(below_station "platform;common;link;flash;engine;run;sim")
set(below_sim "platform;common;link;flash;engine")
set(project_folders platform common link flash engine run dialog station sim tools app)

set(faults "")
foreach(folder platform common link flash engine run dialog station sim)
  file(GLOB_RECURSE sources ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(source ${sources})
    file(STRINGS ${source} includes REGEX "^#include [\"<]")
    foreach(line ${includes})
      if(line MATCHES "^#include \"([a-z_]+)/")
        set(target ${CMAKE_MATCH_1})
        list(FIND project_folders ${target} known)
        list(FIND below_${folder} ${target} allowed)
        if(known GREATER -1 AND NOT target STREQUAL folder AND allowed EQUAL -1)
          file(RELATIVE_PATH name ${SOURCE_DIR} ${source})
          list(APPEND faults "${name}: ${line} (${folder}/ may not use ${target}/)")
        endif()
      elseif(line MATCHES "^#include <Q[A-Za-z]*")
        file(RELATIVE_PATH name ${SOURCE_DIR} ${source})
        list(APPEND faults "${name}: ${line} (Qt is for app/ only)")
      elseif(folder STREQUAL "dialog" AND line MATCHES "^#include <([A-Za-z]+\\.h)>")
        # The dialog model serves the Qt and the Win32 window alike.
        file(RELATIVE_PATH name ${SOURCE_DIR} ${source})
        list(APPEND faults "${name}: ${line} (no toolkit or system header in dialog/)")
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "includes against the layers:\n  ${text}")
endif()
message(STATUS "every include points down")
