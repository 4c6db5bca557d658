# Cross build for 64-bit Arm Linux on a Debian multiarch host:
#   apt: g++-aarch64-linux-gnu, the :arm64 -dev packages, qemu-user-static (scripts/cross-aarch64.sh).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake -DQO_WITH_ORT=OFF ...
#
# GCC, not clang: Highway 1.0.3 compiles the SVE/SVE2 targets for run-time dispatch on Arm only with
# GCC (HWY_HAVE_RUNTIME_DISPATCH); with clang an Arm build would carry the NEON baseline alone.
# GCC's AArch64 default is -ffp-contract=fast; the project's -ffp-contract=off (QoOptions.cmake)
# reaches every target, and scripts/cross-aarch64.sh checks the kernels carry no fused multiply-add.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch: arm64 libraries live in /usr/lib/aarch64-linux-gnu beside the host's, headers in /usr/include.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Tests run under user-mode emulation; QEMU_CPU in the environment picks the emulated CPU.
find_program(QO_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(QO_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${QO_QEMU_AARCH64}")
endif()
