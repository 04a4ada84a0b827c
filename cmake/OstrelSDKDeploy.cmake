# ostrel_deploy_handler(<target> [DESTINATION <dir>])
#
# The library launches KivCrashHandler.exe and KivRegWER.exe from the host's application folder,
# and the handler starts KivCrashDialog.exe from its own folder when it asks the user about a crash.
# This puts the programs beside <target>'s executable after every build, and installs them into
# <dir> (default: ${CMAKE_INSTALL_BINDIR}, else "bin"), where install(TARGETS <target>) is expected
# to put the executable too. <target> must be an executable made in the calling directory.
function(ostrel_deploy_handler target)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "" "DESTINATION" "")
    if(ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "ostrel_deploy_handler: unexpected arguments: ${ARG_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT TARGET ${target})
        message(FATAL_ERROR "ostrel_deploy_handler: \"${target}\" is not a target.")
    endif()
    get_target_property(type ${target} TYPE)
    get_target_property(imported ${target} IMPORTED)
    if(NOT type STREQUAL "EXECUTABLE" OR imported)
        message(FATAL_ERROR "ostrel_deploy_handler: \"${target}\" is not an executable built here "
                "(it is ${type}): the crash handler and the registration tool must sit beside the "
                "host application's executable, so pass the application's add_executable target.")
    endif()
    get_target_property(dir ${target} SOURCE_DIR)
    if(NOT dir STREQUAL CMAKE_CURRENT_SOURCE_DIR)
        message(FATAL_ERROR "ostrel_deploy_handler: call it in the directory that creates "
                "\"${target}\" (${dir}).")
    endif()
    set(files)
    foreach(tool KivCrashHandler KivRegWER)
        if(TARGET OstrelSDK::${tool})
            list(APPEND files $<TARGET_FILE:OstrelSDK::${tool}>)
        elseif(WIN32 AND tool STREQUAL "KivCrashHandler")
            # The reference crash handler has no Windows side yet: the host ships its own.
            message(STATUS "ostrel_deploy_handler: no KivCrashHandler.exe in this package; deploy one beside ${target}")
        else()
            message(FATAL_ERROR "ostrel_deploy_handler: this OstrelSDK package has no OstrelSDK::${tool} "
                    "(it was built with OSTREL_BUILD_TOOLS=OFF).")
        endif()
    endforeach()
    if(TARGET OstrelSDK::KivCrashDialog)
        list(APPEND files $<TARGET_FILE:OstrelSDK::KivCrashDialog>)
    else()
        # A Qt without Widgets builds no dialog: the handler then keeps the reports it should ask
        # about queued, unsent, and says why in its journal.
        message(STATUS "ostrel_deploy_handler: no KivCrashDialog.exe in this package (its Qt has no Widgets)")
    endif()

    set(destination "${ARG_DESTINATION}")
    if(NOT destination)
        if(CMAKE_INSTALL_BINDIR)
            set(destination "${CMAKE_INSTALL_BINDIR}")
        else()
            set(destination bin)
        endif()
    endif()

    if(WIN32)
        # Windows finds a DLL beside the executable, not through a run path.
        list(APPEND files $<TARGET_FILE:OstrelSDK::OstrelSDK>)
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different ${files} $<TARGET_FILE_DIR:${target}>
        COMMENT "Deploying the crash handler and its programs beside ${target}"
        VERBATIM)
    install(PROGRAMS ${files} DESTINATION "${destination}")
endfunction()
