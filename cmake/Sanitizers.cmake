# One switch builds everything with ASan and UBSan; CI runs the same tests in that build.
if(SNAP_SANITIZE)
  set(SNAP_SANITIZER_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_compile_options(${SNAP_SANITIZER_FLAGS})
  add_link_options(${SNAP_SANITIZER_FLAGS})
endif()
