# The .exe's version resource and application manifest, configured from the
# project version. Sets LSS_VERSION_RESOURCE_SOURCES for the executable.
enable_language(RC)

set(LSS_MANIFEST "${PROJECT_SOURCE_DIR}/src/cli/lumaris_serial_spike.manifest")
if(MSVC)
  # The MSVC linker embeds a manifest of its own; handing it ours as a source
  # makes it embed that one instead of a second resource 1 (a duplicate
  # resource would fail the link). Our manifest carries the trust level.
  set(LSS_RC_MANIFEST "")
  set(LSS_VERSION_RESOURCE_SOURCES "${PROJECT_BINARY_DIR}/version.rc" "${LSS_MANIFEST}")
  add_link_options(/MANIFESTUAC:NO)
else()
  # GNU ld writes no manifest: the resource script carries it
  # (1 = CREATEPROCESS_MANIFEST_RESOURCE_ID, 24 = RT_MANIFEST).
  set(LSS_RC_MANIFEST "1 24 \"${LSS_MANIFEST}\"")
  set(LSS_VERSION_RESOURCE_SOURCES "${PROJECT_BINARY_DIR}/version.rc")
endif()
configure_file("${PROJECT_SOURCE_DIR}/src/cli/version.rc.in" "${PROJECT_BINARY_DIR}/version.rc" @ONLY)
