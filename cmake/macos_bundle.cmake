# SPDX-License-Identifier: MIT
# The macOS bundle's Info.plist, written from Info.plist.in beside this file. The bundle build
# and the test of the template both call brinvast_write_info_plist, so both see one result.

# The oldest macOS that each Qt release runs on, by the first Qt release that asks for it.
# Our own code asks for nothing later than Qt does.
set(BRINVAST_QT_MACOS_MINIMUMS 6.4 10.14 6.5 11.0 6.8 12.0 6.10 13.0 6.12 14.4)

# Sets `out_var` to the oldest macOS that a bundle built against Qt `qt_version` can start on:
# the later of Qt's minimum and the build's deployment target if it has one.
function(brinvast_macos_minimum out_var qt_version deployment_target)
    set(minimum "")
    set(pairs ${BRINVAST_QT_MACOS_MINIMUMS})
    while(pairs)
        list(POP_FRONT pairs since macos)
        if(qt_version VERSION_GREATER_EQUAL since)
            set(minimum ${macos})
        endif()
    endwhile()
    if(minimum STREQUAL "")
        message(FATAL_ERROR "No macOS minimum is known for Qt ${qt_version}")
    endif()
    if(deployment_target VERSION_GREATER minimum)
        set(minimum ${deployment_target})
    endif()
    set(${out_var} ${minimum} PARENT_SCOPE)
endfunction()

# brinvast_write_info_plist(<output> EXECUTABLE <name> VERSION <version> ICON <icns path>
#                           QT_VERSION <version> [DEPLOYMENT_TARGET <macOS version>])
# ICON is the icon file that the bundle carries in Contents/Resources; the plist names it.
function(brinvast_write_info_plist output)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "EXECUTABLE;VERSION;ICON;QT_VERSION;DEPLOYMENT_TARGET"
                          "")
    foreach(required EXECUTABLE VERSION ICON QT_VERSION)
        if("${arg_${required}}" STREQUAL "")
            message(FATAL_ERROR "brinvast_write_info_plist needs ${required}")
        endif()
    endforeach()
    set(BUNDLE_EXECUTABLE "${arg_EXECUTABLE}")
    set(BUNDLE_VERSION "${arg_VERSION}")
    get_filename_component(BUNDLE_ICON_FILE "${arg_ICON}" NAME)
    brinvast_macos_minimum(BUNDLE_MACOS_MINIMUM "${arg_QT_VERSION}" "${arg_DEPLOYMENT_TARGET}")
    configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/Info.plist.in" "${output}" @ONLY)
endfunction()
