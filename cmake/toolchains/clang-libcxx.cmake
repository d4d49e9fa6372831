# clang with LLVM's libc++ instead of libstdc++: the pairing macOS builds use.
# Not a cross build (the binaries run here), but libc++ lacks parts of
# <charconv> that libstdc++ has, and its guarded fallbacks are tested here.
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_FLAGS_INIT -stdlib=libc++)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-stdlib=libc++ -lc++abi")
