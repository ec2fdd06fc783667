# SPDX-License-Identifier: MIT
# Fills in the Info.plist template as the bundle build does, for several Qt releases and
# deployment targets, and has check_info_plist.py read each result.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/macos_bundle.cmake)

function(check_plist plist minimum expect_failure)
    execute_process(COMMAND ${PYTHON} ${CHECK} ${plist} ${ICONS} ${VERSION} ${minimum}
                    RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
    if(expect_failure AND status EQUAL 0)
        message(SEND_ERROR "the check passed a damaged plist: ${plist}")
    elseif(NOT expect_failure AND NOT status EQUAL 0)
        message(SEND_ERROR "the check failed for ${plist}:\n${said}")
    endif()
endfunction()

# Writes the plist for Qt `qt_version` and deployment target `target`, and checks that it names
# `minimum` as the oldest macOS.
function(check_case qt_version target minimum)
    set(plist ${OUT}/Info-${qt_version}-${target}.plist)
    brinvast_write_info_plist(${plist} EXECUTABLE "Brinvast Uninstaller" VERSION ${VERSION}
                              ICON ${ICON} QT_VERSION ${qt_version} DEPLOYMENT_TARGET "${target}")
    check_plist(${plist} ${minimum} FALSE)
endfunction()

# Qt's own minimum, by the release that set it.
check_case(6.4.2 "" 10.14)
check_case(6.8.1 "" 12.0)
check_case(6.8.3 "" 12.0)
check_case(6.12.0 "" 14.4)
check_case(6.13.0 "" 14.4)
# A later deployment target wins; an earlier or equal one changes nothing.
check_case(6.5.3 14.0 14.0)
check_case(6.8.3 12.0 12.0)
check_case(6.12.0 13.3 14.4)

# The check itself fails a plist that lost its reason for reaching ~/Documents, and one whose
# short name is too long for the menu bar.
file(READ ${OUT}/Info-6.4.2-.plist text)
string(REGEX REPLACE "<key>NSDocumentsFolderUsageDescription</key>[^<]*<string>[^<]*</string>"
       "" damaged "${text}")
file(WRITE ${OUT}/Info-damaged.plist "${damaged}")
check_plist(${OUT}/Info-damaged.plist 10.14 TRUE)
string(REGEX REPLACE "(<key>CFBundleName</key>[^<]*<string>)[^<]*" "\\1Brinvast Uninstaller"
       damaged "${text}")
file(WRITE ${OUT}/Info-long-name.plist "${damaged}")
check_plist(${OUT}/Info-long-name.plist 10.14 TRUE)
