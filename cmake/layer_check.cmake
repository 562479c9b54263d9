# The layers of docs/design.md, held against what each target links. Each
# library and program of the project names the project targets it may link;
# test, fuzz and benchmark executables (names ending in _test, _fuzz or _bench,
# or starting with e2e_) may link anything below them. vellumar_check_layers,
# run at the end of the top-level CMakeLists.txt, stops the configuration when
# a target links a project target its layer may not use, or when a library or
# program is not in this table.

# The message-base library.
set(VellumarMayLink_msgbase_core "")
set(VellumarMayLink_msgbase_virtual msgbase_core)
set(VellumarMayLink_msgbase_msg msgbase_core msgbase_virtual)
set(VellumarMayLink_msgbase_squish msgbase_core msgbase_virtual)
set(VellumarMayLink_msgbase_jam msgbase_core msgbase_virtual)
set(VellumarMayLink_msgbase_open msgbase_core msgbase_virtual msgbase_msg msgbase_squish msgbase_jam)
# The program's layers and its entry point.
set(VellumarMayLink_encode "")
set(VellumarMayLink_front "")
set(VellumarMayLink_compose front encode msgbase_open)
set(VellumarMayLink_vellumar front compose)
# The tools: what they share, and each tool's library and program.
set(VellumarMayLink_tools_common msgbase_core)
set(VellumarMayLink_msgdump_core tools_common msgbase_open)
set(VellumarMayLink_msgdump msgdump_core tools_common msgbase_open)
set(VellumarMayLink_msgextract_core tools_common msgbase_open encode)
set(VellumarMayLink_msgextract msgextract_core tools_common msgbase_open)
# Test helpers; the independent reader shares no code with the library.
set(VellumarMayLink_test_support "")
set(VellumarMayLink_run_program test_support)
set(VellumarMayLink_base_reader test_support)
# The power-cut test's recorder module (loaded into the programs under test)
# and its driver (changes no tool makes, through the library).
set(VellumarMayLink_powercut_recorder "")
set(VellumarMayLink_powercut_driver msgbase_open)

# Every target defined in Dir and the folders below it.
function(vellumar_collect_targets Dir Out)
  get_property(Targets DIRECTORY ${Dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(Subdirs DIRECTORY ${Dir} PROPERTY SUBDIRECTORIES)
  foreach(Sub IN LISTS Subdirs)
    vellumar_collect_targets(${Sub} Below)
    list(APPEND Targets ${Below})
  endforeach()
  set(${Out} ${Targets} PARENT_SCOPE)
endfunction()

function(vellumar_check_layers)
  vellumar_collect_targets(${PROJECT_SOURCE_DIR} All)
  set(Built)
  foreach(Target IN LISTS All)
    get_target_property(Type ${Target} TYPE)
    if(Type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|OBJECT_LIBRARY|EXECUTABLE)$")
      list(APPEND Built ${Target})
    endif()
  endforeach()
  set(Faults)
  foreach(Target IN LISTS Built)
    if(Target MATCHES "(_test|_fuzz|_bench)$" OR Target MATCHES "^e2e_")
      continue()
    endif()
    if(NOT DEFINED VellumarMayLink_${Target})
      list(APPEND Faults "${Target} is not on the layer map")
      continue()
    endif()
    get_target_property(Links ${Target} LINK_LIBRARIES)
    get_target_property(InterfaceLinks ${Target} INTERFACE_LINK_LIBRARIES)
    foreach(Link IN LISTS Links InterfaceLinks)
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" Link "${Link}")
      if(Link IN_LIST Built AND NOT Link IN_LIST VellumarMayLink_${Target})
        list(APPEND Faults "${Target} links ${Link}")
      endif()
    endforeach()
  endforeach()
  if(Faults)
    list(REMOVE_DUPLICATES Faults)
    list(JOIN Faults "; " Text)
    message(FATAL_ERROR "Layer map (docs/design.md, cmake/layer_check.cmake) broken: ${Text}")
  endif()
endfunction()
