# Fails when a file of the program includes a header of a layer it may not use: the
# table of docs/ARCHITECTURE.md, checked on the includes as written. A layer's library
# links the layers below it privately, but every layer's headers lie under one include
# root, so the compiler alone would let a face include an engine header.
#
#   cmake -DSOURCE_DIR=<the tree> -P cmake/CheckLayers.cmake
#
# Each rule: a folder, then the folders its files may include besides its own. A file
# takes the rule of the longest folder that holds it.
set(rules
    "platform/"
    "diag/ platform/"
    "listctl/"
    "queue/ listctl/ diag/"
    "persist/ platform/ diag/ queue/"
    "engine/ platform/ diag/ listctl/ queue/"
    "core/ engine/ persist/ queue/ listctl/ diag/ platform/"
    # The single-instance module needs nothing of the core around it.
    "core/instance/ platform/"
    # The desktop's services on the D-Bus: Qt, and nothing of the program.
    "desktop/"
    "ui/ core/ diag/ platform/ desktop/"
    # The list views show the lines themselves.
    "ui/lists/ ui/ core/ diag/ platform/ listctl/ desktop/"
    "app/ ui/ core/ diag/ platform/"
    "runner/ core/ diag/ platform/ desktop/")

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "CheckLayers.cmake: SOURCE_DIR is not set")
endif()

set(folders)
foreach(rule IN LISTS rules)
  string(REPLACE " " ";" words "${rule}")
  list(GET words 0 folder)
  list(APPEND folders "${folder}")
  set("allowed_${folder}" ${words})
endforeach()

set(faults)
foreach(top IN ITEMS platform diag listctl queue persist engine core desktop ui app runner)
  file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/${top}/*.h"
       "${SOURCE_DIR}/${top}/*.cpp")
  foreach(file IN LISTS files)
    set(rule "")
    foreach(folder IN LISTS folders)
      string(LENGTH "${folder}" length)
      string(SUBSTRING "${file}" 0 ${length} head)
      string(LENGTH "${rule}" ruleLength)
      if(head STREQUAL folder AND length GREATER ruleLength)
        set(rule "${folder}")
      endif()
    endforeach()
    file(STRINGS "${SOURCE_DIR}/${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" included "${line}")
      if(NOT included MATCHES "/")
        continue() # beside the file itself
      endif()
      set(ok FALSE)
      foreach(allowed IN LISTS "allowed_${rule}")
        string(LENGTH "${allowed}" length)
        string(SUBSTRING "${included}" 0 ${length} head)
        if(head STREQUAL allowed)
          set(ok TRUE)
          break()
        endif()
      endforeach()
      if(NOT ok)
        list(APPEND faults "${file}: includes ${included}, which ${rule} may not use")
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "Includes across the layers (docs/ARCHITECTURE.md, Layers):\n  ${text}")
endif()
