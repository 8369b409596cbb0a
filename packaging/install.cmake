# What `cmake --install` puts where, and the Debian package `cpack -G DEB` makes from the same rules: the
# programs in bin/, the README (the programs' long help) in share/doc/dictate/.
#
# dictate-server loads its speech model from the folder pocketsphinx's pkg-config file names (see
# server/CMakeLists.txt), which is where Debian's pocketsphinx-en-us package puts it; the package
# depends on that package so the folder is there wherever it is installed.
include(GNUInstallDirs)

if(WIN32)
  # The zip a Windows user gets (`cpack -G ZIP`, which scripts/build-windows runs): dictate.exe, a short
  # README for Windows, and the licence texts of all that is linked into the .exe: libcurl and PortAudio
  # (DICTATE_WINDOWS_LICENCES, collected from their source packages by scripts/build-windows), the MinGW-w64
  # runtime and winpthreads, and GCC's runtime with its exception (the toolchain's own Debian packages).
  set(DICTATE_WINDOWS_LICENCES "" CACHE PATH "Folder of the licence texts of the cross-built libraries")
  install(TARGETS dictate RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt DESTINATION .)
  if(DICTATE_WINDOWS_LICENCES)
    install(DIRECTORY ${DICTATE_WINDOWS_LICENCES}/ DESTINATION licences)
  endif()
  install(FILES /usr/share/doc/mingw-w64-common/copyright DESTINATION licences
          RENAME mingw-w64-runtime-and-winpthreads.txt)
  install(FILES /usr/share/doc/gcc-mingw-w64-base/copyright DESTINATION licences
          RENAME gcc-runtime-library-exception.txt)
  install(FILES /usr/share/common-licenses/GPL-3 DESTINATION licences RENAME GPL-3.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME dictate)
  set(CPACK_PACKAGE_FILE_NAME dictate-${PROJECT_VERSION}-windows-x86_64)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

install(TARGETS dictate dictate-enrol RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(DICTATE_BUILD_SERVER)
  install(TARGETS dictate-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dictate)
set(CPACK_PACKAGE_VENDOR "dictate developers")
set(CPACK_PACKAGE_CONTACT "dictate developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "console dictation: records the microphone and prints what a transcription server makes of it")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# The shared libraries the programs link (PortAudio, libcurl, PocketSphinx, ...) become dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(DICTATE_BUILD_SERVER)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS pocketsphinx-en-us)
  # dictate-server --adapt runs the model training tools; decoding works without them.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS sphinxtrain)
endif()
# dictate --copy and --type hand the text to these tools on Linux; dictation works without them.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wl-clipboard | xclip | xsel, xdotool | wtype | ydotool")
include(CPack)
