# Makes VelmoraService-<version>-x64.msi beside the Windows zip, from the
# zip's staged files, with wixl; then finishes with msibuild what wixl's WiX
# subset cannot express. Run by cpack after the zip (a post-build script);
# `cpack -D CPACK_PACKAGE_VERSION=X.Y.Z` makes the installer of another
# version from the same files.
find_program(VELMORA_WIXL wixl)
find_program(VELMORA_MSIBUILD msibuild)
find_program(VELMORA_MSIINFO msiinfo)
if(NOT VELMORA_WIXL OR NOT VELMORA_MSIBUILD OR NOT VELMORA_MSIINFO)
  message(FATAL_ERROR "the Windows installer needs wixl and msitools (scripts/install-deps installs them)")
endif()

set(stage ${CPACK_TEMPORARY_DIRECTORY})
set(msi ${CPACK_TOPLEVEL_DIRECTORY}/VelmoraService-${CPACK_PACKAGE_VERSION}-x64.msi)
set(work ${CPACK_TOPLEVEL_DIRECTORY}/msi)
file(MAKE_DIRECTORY ${work})

function(velmora_run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${stage} RESULT_VARIABLE code OUTPUT_VARIABLE out
                  ERROR_VARIABLE out)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "${ARGN}\n${out}")
  endif()
endfunction()

# One SQL statement on the installer (a semicolon in it stays in it).
function(velmora_msi_query query)
  execute_process(COMMAND ${VELMORA_MSIBUILD} ${msi} -q "${query}" RESULT_VARIABLE code OUTPUT_VARIABLE out
                  ERROR_VARIABLE out)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "msibuild -q ${query}\n${out}")
  endif()
endfunction()

# wixl takes the files from its working folder: the staged tree.
velmora_run(${VELMORA_WIXL} --arch x64 -D Version=${CPACK_PACKAGE_VERSION} -o ${msi} ${CPACK_VELMORA_WXS})

# The refusals are written in the WiX source as property settings (the one
# kind of action wixl takes without a file) whose value is the text: here
# they become error actions (type 19), which end the install with that text,
# and the same text becomes their action text, which msiexec logs.
execute_process(COMMAND ${VELMORA_MSIINFO} export ${msi} CustomAction OUTPUT_VARIABLE actions)
string(REPLACE "\r\n" "\n" actions "${actions}")
set(action_text "Action\tDescription\tTemplate\ns72\tL0\tL0\nActionText\tAction\n")
# Row by row without CMake lists, whose separator a text may contain.
while(actions MATCHES "\n(Refuse[A-Za-z]+)\t[0-9]+\tREFUSAL\t([^\t\n]*)\t")
  velmora_msi_query("UPDATE `CustomAction` SET `Type` = 19, `Source` = '' WHERE `Action` = '${CMAKE_MATCH_1}'")
  string(APPEND action_text "${CMAKE_MATCH_1}\t${CMAKE_MATCH_2}\t\n")
  string(REPLACE "${CMAKE_MATCH_0}" "\n" actions "${actions}")
endwhile()
if(NOT action_text MATCHES "RefuseBadPort")
  message(FATAL_ERROR "no refusals found in the CustomAction table of ${msi}")
endif()
file(WRITE ${work}/ActionText.idt "${action_text}")
velmora_run(${VELMORA_MSIBUILD} ${msi} -i ${work}/ActionText.idt)

# UndoRegisterService runs the program's copy in the Binary table (2) only
# when the install fails after it (rollback 256, beside in-script 1024, system
# account 2048, exit code ignored 64).
velmora_msi_query(
  "UPDATE `CustomAction` SET `Type` = 3394, `Source` = 'ProgramForRollback' WHERE `Action` = 'UndoRegisterService'")

# The options can come from the command line of a per-machine install; the
# remembered options are read from the 64-bit registry, where they were
# written; the packages folder is never removed (Permanent, 16, beside 64-bit,
# 256).
velmora_msi_query("UPDATE `Property` SET `Value` = 'OLDERVERSIONFOUND;NEWERVERSIONFOUND;PORT;PACKAGESPATH;LOGFILE;LOGEVENTS;HEADSIZES' WHERE `Property` = 'SecureCustomProperties'")
velmora_msi_query("UPDATE `RegLocator` SET `Type` = 18")
velmora_msi_query("UPDATE `Component` SET `Attributes` = 272 WHERE `Component` = 'PackagesFolder'")
# The installer's own packages folder is made by -install, with rights of its
# own, and not by the component (a condition wixl cannot write).
velmora_msi_query("UPDATE `Component` SET `Condition` = 'NOT (PACKAGESPATH ~= DEFAULTPACKAGESPATH)' WHERE `Component` = 'PackagesFolder'")

file(COPY ${msi} DESTINATION ${CPACK_PACKAGE_DIRECTORY})
message(STATUS "installer ${CPACK_PACKAGE_DIRECTORY}/VelmoraService-${CPACK_PACKAGE_VERSION}-x64.msi generated")
