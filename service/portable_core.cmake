# The service's portable core: the parsers of untrusted bytes and the records they fill, with no
# Windows call in them. The service links them with everything else (its GLOB takes every
# source); the fuzz build (fuzz/CMakeLists.txt) compiles exactly these natively.
set(VEXTRA_PORTABLE_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/manifest/manifest.cpp        # version.xml, patch.xml, bindings
  ${CMAKE_CURRENT_LIST_DIR}/manifest/xml_nesting.cpp     # the nesting check, read as the parser reads
  ${CMAKE_CURRENT_LIST_DIR}/config/config_text.cpp       # the kvc.cfg grammar and the mode rewrite
  ${CMAKE_CURRENT_LIST_DIR}/player/player_records.cpp    # version text, patch path, digest text
  ${CMAKE_CURRENT_LIST_DIR}/player/patch_fit.cpp         # patch fit from the files' digests
  ${CMAKE_CURRENT_LIST_DIR}/platform/utf8_lenient.cpp    # UTF-8 read with replacement
  ${CMAKE_CURRENT_LIST_DIR}/verify/signed_envelope.cpp   # the signed package's DER envelope
  ${CMAKE_CURRENT_LIST_DIR}/verify/sha256.cpp            # SHA-256, own code (SHA extensions when there)
  ${CMAKE_CURRENT_LIST_DIR}/download/resume_reply.cpp    # the answer to a resume: Content-Range
  ${CMAKE_CURRENT_LIST_DIR}/download/kept_part_rule.cpp) # whether a cut download's part still waits
