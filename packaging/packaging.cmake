# Debian packages, built by `cmake --build --preset host --target package`:
#   dblinkd          the service and pkgadmin, its systemd unit, config file and user
#   plx-agent-files  the Win32 agent and its DLLs, to copy to a server share
# The Win32 files come from another build tree (the i686 one ships); packaging fails,
# naming what is missing, when that tree has not been built.
set(PLX_WIN32_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/win32" CACHE PATH
    "Build tree of the Win32 agent whose files go into the plx-agent-files package")
set(PLX_AGENT_FILES PLXWIN32.EXE CORVNET.dll Dblinkr32.dll plx2tly.dll CVFSET32.dll)
set(PLX_PKG_DIR ${CMAKE_CURRENT_LIST_DIR})

install(TARGETS dblinkd pkgadmin RUNTIME DESTINATION bin COMPONENT dblinkd)
install(FILES ${PLX_PKG_DIR}/dblinkd.service DESTINATION /lib/systemd/system COMPONENT dblinkd)
install(FILES ${PLX_PKG_DIR}/dblinkd.conf DESTINATION /etc/dblinkd COMPONENT dblinkd)

# Checked when packaging, not when configuring: the Win32 tree is often built afterwards.
set(agent_paths "")
foreach(f IN LISTS PLX_AGENT_FILES)
  list(APPEND agent_paths "${PLX_WIN32_BUILD_DIR}/bin/${f}")
endforeach()
install(CODE "
  set(missing \"\")
  foreach(f IN ITEMS ${agent_paths})
    if(NOT EXISTS \"\${f}\")
      list(APPEND missing \"\${f}\")
    endif()
  endforeach()
  if(missing)
    string(REPLACE \";\" \"\\n  \" missing \"\${missing}\")
    message(FATAL_ERROR \"plx-agent-files: the Win32 build is missing:\\n  \${missing}\\n\"
            \"Build it first (cmake --preset win32 && cmake --build --preset win32), or point \"
            \"PLX_WIN32_BUILD_DIR at a Win32 build tree.\")
  endif()" COMPONENT agentfiles)
install(FILES ${agent_paths} DESTINATION share/plx-agent COMPONENT agentfiles)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME plx)
set(CPACK_PACKAGE_VENDOR "Orvik")
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_CONTACT "PLX maintainers <plx@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL dblinkd agentfiles)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_DBLINKD_PACKAGE_NAME dblinkd)
set(CPACK_COMPONENT_DBLINKD_DESCRIPTION
    "PLX package database service\n dblinkd answers the workstations' agents on the requester port and the\n administrators on its admin API; pkgadmin is the admin API's client.")
set(CPACK_DEBIAN_DBLINKD_PACKAGE_DEPENDS "adduser")
find_program(PLX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(PLX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_DBLINKD_PACKAGE_SHLIBDEPS ON)
else()
  string(APPEND CPACK_DEBIAN_DBLINKD_PACKAGE_DEPENDS
         ", libsqlite3-0, libpq5, libcpp-httplib0.11, libssl3, libstdc++6, libc6")
endif()
set(CPACK_DEBIAN_DBLINKD_PACKAGE_CONTROL_EXTRA
    ${PLX_PKG_DIR}/conffiles ${PLX_PKG_DIR}/postinst ${PLX_PKG_DIR}/prerm ${PLX_PKG_DIR}/postrm)

set(CPACK_DEBIAN_AGENTFILES_PACKAGE_NAME plx-agent-files)
set(CPACK_DEBIAN_AGENTFILES_PACKAGE_ARCHITECTURE all)
set(CPACK_COMPONENT_AGENTFILES_DESCRIPTION
    "PLX agent for Windows workstations\n PLXWIN32.EXE and its DLLs under /usr/share/plx-agent, to copy to the\n folder of a server share the workstations start the agent from.")

include(CPack)

# Builds, installs and removes the packages on this machine (as root only).
add_subdirectory(${PROJECT_SOURCE_DIR}/tests/package ${CMAKE_BINARY_DIR}/tests/package)
