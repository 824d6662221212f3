# Each program's version resource and application manifest, configured from
# the project version. One template and one manifest serve every program:
#   lss_add_version_resource(<target> "<file description>")
enable_language(RC)

set(LSS_MANIFEST "${PROJECT_SOURCE_DIR}/src/front/program.manifest")

function(lss_add_version_resource target description)
  set(LSS_RC_NAME "${target}")
  set(LSS_RC_DESCRIPTION "${description}")
  set(rc "${PROJECT_BINARY_DIR}/${target}.rc")
  if(MSVC)
    # The MSVC linker embeds a manifest of its own; handing it ours as a source
    # makes it embed that one instead of a second resource 1 (a duplicate
    # resource would fail the link). Our manifest carries the trust level.
    set(LSS_RC_MANIFEST "")
    target_sources(${target} PRIVATE "${rc}" "${LSS_MANIFEST}")
    target_link_options(${target} PRIVATE /MANIFESTUAC:NO)
  else()
    # GNU ld writes no manifest: the resource script carries it
    # (1 = CREATEPROCESS_MANIFEST_RESOURCE_ID, 24 = RT_MANIFEST).
    set(LSS_RC_MANIFEST "1 24 \"${LSS_MANIFEST}\"")
    target_sources(${target} PRIVATE "${rc}")
  endif()
  configure_file("${PROJECT_SOURCE_DIR}/src/front/version.rc.in" "${rc}" @ONLY)
endfunction()
