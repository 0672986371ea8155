# The source lists of the builds, read by CMakeLists.txt and by scripts/build-dos (through
# scripts/print-sources.cmake).
#
# Which files serve which build: kestrelload on Linux, kestrelload.exe on Win32 (with the DOS
# build spliced in as its stub: download.exe), download (the real-mode build hosted on Linux),
# DOWNLOAD.EXE (the real-mode build on MS-DOS, made by scripts/build-dos from the lists below).
#
#   files                                           kestrelload  .exe  download  DOWNLOAD.EXE
#   CORE_SOURCES: app/flow, session/, image/,            x         x       x          x
#     transfer/, serial/serial
#   image/sector_buffer_heap                             x         x       x
#   app/main, app/progress_line, app/main_build,         x         x
#     serial/host_port
#   serial/serial_posix, app/console_posix               x
#   serial/device_posix, app/terminal_posix,                  x                 x
#     app/signals_posix
#   serial/serial_win32, app/console_win32, app/version.rc           x
#   REALMODE_PORTABLE_SOURCES: realmode/*.cpp                               x          x
#   realmode/linux/ (emulated PC, ANSI screen)                              x
#   DOS_RUNTIME_SOURCES: realmode/dos/ (start-up, C library,                           x
#     BIOS screen, far sector buffer)
#
# tools/ builds no program of the downloader: kestrel-target (the simulated target), and the
# splicer and packer that make the release files.

# The portable core shared by every build: everything but the platform back ends and the few
# pieces each build has of its own (the sector buffer on the heap or in far memory). It is built
# without the C++ library, exceptions or RTTI, because the 16-bit build supplies only a small C
# library.
set(CORE_SOURCES
  app/flow.cpp
  session/link.cpp
  session/login.cpp
  session/driver.cpp
  image/srecord.cpp
  image/sector_image.cpp
  transfer/crc32.cpp
  transfer/sector_size.cpp
  transfer/line_transfer.cpp
  transfer/sector_transfer.cpp
  transfer/progress.cpp
  serial/serial.cpp)

# The real-mode program's portable files, the same on MS-DOS and hosted on Linux.
set(REALMODE_PORTABLE_SOURCES
  realmode/main.cpp
  realmode/console_realmode.cpp
  realmode/screen_window.cpp
  realmode/flash_map.cpp
  realmode/realmode_build.cpp
  realmode/uart.cpp)

# The MS-DOS runtime beneath them (realmode/dos/start.S and dos.ld are linked in by build-dos).
set(DOS_RUNTIME_SOURCES
  realmode/dos/runtime.cpp
  realmode/dos/libc.cpp
  realmode/dos/screen.cpp
  realmode/dos/pc.cpp
  realmode/dos/sector_buffer.cpp)
