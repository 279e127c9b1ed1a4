# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The krm59340 developers
# Install helpers for what ships beside the programs: each program's CMakeLists needs one line for its manual
# page and one for its completion.
include(GNUInstallDirs)

find_program(KRM_GZIP gzip REQUIRED)

# Compresses source to output at build time as Debian's tools do: -9 for size, -n so that neither the file's
# name nor its time stamp is stored and two builds of the same text give the same bytes.
function(krm_gzip source output)
    get_filename_component(plain ${output} NAME_WLE)
    get_filename_component(dir ${output} DIRECTORY)
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${dir}/${plain}
        COMMAND ${KRM_GZIP} -9nf ${dir}/${plain}
        DEPENDS ${source}
        VERBATIM)
endfunction()

# krm_install_man_page(krm59340.1): the page beside the calling CMakeLists, with @PROJECT_VERSION@ filled in,
# compressed into share/man/man<section> (the section is the file's extension).
function(krm_install_man_page page)
    get_filename_component(name ${page} NAME)
    string(REGEX REPLACE "^.*\\.([1-9])$" "\\1" section ${name})
    if(NOT section MATCHES "^[1-9]$")
        message(FATAL_ERROR "krm_install_man_page: ${page} does not end in a section number")
    endif()
    set(configured ${PROJECT_BINARY_DIR}/man/src/${name})
    set(compressed ${PROJECT_BINARY_DIR}/man/man${section}/${name}.gz)
    configure_file(${page} ${configured} @ONLY)
    file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man/man${section})
    krm_gzip(${configured} ${compressed})
    add_custom_target(man_${name} ALL DEPENDS ${compressed})
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

# krm_install_bash_completion(krm59340.bash-completion krm59340): installed under the command's name, which is
# how bash-completion finds the file on the first Tab after that command.
function(krm_install_bash_completion file command)
    install(FILES ${file} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${command})
endfunction()
