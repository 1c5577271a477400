# Installs what scheduling quiln needs: quiln.service and quiln.timer where
# systemd looks for a package's units, and the cron line and an example
# /etc/quiln/quiln.conf among the documentation's examples. Nothing is
# enabled: the administrator writes the configuration and the secret first.
#
# Run by cmake --install and by cpack (through DESTDIR), with
# CMAKE_INSTALL_PREFIX the prefix the files are for. The files in contrib/
# name /usr/bin/quiln, where the package puts the program; installed under
# another prefix, that path becomes the program's own.
#
# Set before: QUILN_SOURCE_DIR, QUILN_STAGE_DIR (a scratch directory of the
# build tree), QUILN_BINDIR and QUILN_DOCDIR (GNUInstallDirs' relative or
# absolute directories).

foreach(dir BINDIR DOCDIR)
  if(IS_ABSOLUTE "${QUILN_${dir}}")
    set(${dir} "${QUILN_${dir}}")
  else()
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${QUILN_${dir}}")
  endif()
endforeach()

# Debian's packages put their units in /lib/systemd/system (under /usr on a
# merged /usr); any other prefix has its own lib/systemd/system, which
# systemd searches for /usr/local.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(unit_dir /lib/systemd/system)
else()
  set(unit_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()

file(MAKE_DIRECTORY "${QUILN_STAGE_DIR}")
foreach(name quiln.service quiln.timer quiln.cron)
  file(READ "${QUILN_SOURCE_DIR}/contrib/${name}" text)
  string(REPLACE "/usr/bin/quiln" "${BINDIR}/quiln" text "${text}")
  file(WRITE "${QUILN_STAGE_DIR}/${name}" "${text}")
endforeach()

file(INSTALL "${QUILN_STAGE_DIR}/quiln.service" "${QUILN_STAGE_DIR}/quiln.timer"
  DESTINATION "${unit_dir}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL "${QUILN_STAGE_DIR}/quiln.cron" "${QUILN_SOURCE_DIR}/contrib/quiln.conf"
  DESTINATION "${DOCDIR}/examples" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
