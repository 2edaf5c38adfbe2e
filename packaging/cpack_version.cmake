# Read by cpack before each package: a build that is not of a release (its
# version text names a commit) is packaged as a snapshot before the release,
# so that neither apt nor the file names take it for the release itself:
# odu-upgrade_3.5.0~git1a2b3c4_amd64.deb, odu-upgrade-3.5.0-git1a2b3c4-win64.zip.
file(STRINGS "${CPACK_ODU_VERSION_HEADER}" odu_version_line REGEX "ODU_VERSION_TEXT")
if(odu_version_line MATCHES "\\(([0-9a-f]+)(-dirty)?\\)")
  set(odu_snapshot "git${CMAKE_MATCH_1}")
  if(CMAKE_MATCH_2)
    string(APPEND odu_snapshot ".dirty")
  endif()
  if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_DEBIAN_PACKAGE_VERSION "${CPACK_PACKAGE_VERSION}~${odu_snapshot}")
  elseif(CPACK_GENERATOR STREQUAL "ZIP")
    set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${odu_snapshot}-win64")
  endif()
endif()
