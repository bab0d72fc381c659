# `make package`: Debian packages through CPack, one per install component. "tonivox" is the
# program with its resources and desktop integration; "tonivox-keylib-server" is the
# development key-library server, which no user of the program needs.
set(TONIVOX_PACKAGE_MAINTAINER "Tonivox developers <packages@tonivox.org>" CACHE STRING
  "The Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tonivox)
set(CPACK_PACKAGE_VENDOR "Tonivox developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${TONIVOX_PACKAGE_MAINTAINER}")
# Debian installs below /usr, whatever prefix the build tree was configured with; the program
# finds its resources relative to itself.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build keeps debug information (RelWithDebInfo); the package does not.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tonivox keylib_server)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TONIVOX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TONIVOX_HOMEPAGE_URL}")
# Library dependencies are read off the binaries by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_TONIVOX_PACKAGE_NAME tonivox)
set(CPACK_DEBIAN_TONIVOX_PACKAGE_SECTION sound)
# What no linker sees: the text recognition's language data, the font the Chinese interface
# is drawn in, and the QML modules and SVG plug-ins the interface loads at run time.
set(tonivox_runtime_packages
  tesseract-ocr-chi-sim tesseract-ocr-eng fonts-noto-cjk
  qml6-module-qtqml qml6-module-qtquick qml6-module-qtquick-controls
  qml6-module-qtquick-templates qml6-module-qtquick-layouts qml6-module-qtquick-window
  qml6-module-qtquick-dialogs qml6-module-qtquick-shapes qml6-module-qtqml-workerscript
  libqt6svg6)
list(JOIN tonivox_runtime_packages ", " CPACK_DEBIAN_TONIVOX_PACKAGE_DEPENDS)
# Each package's description: the summary line, then the long text.
set(CPACK_DEBIAN_TONIVOX_DESCRIPTION
  "Keeps Auto-Tune in the key of the song you sing along to
Melodrix 声友 follows the song a desktop music player is playing (QQ Music, Kugou,
NetEase Cloud Music or any MPRIS player), finds its key in an online key library or by
listening to the accompaniment, and keeps the Auto-Tune plug-in in the audio host in that
key. It also transposes the accompaniment in real time and writes a diagnostic report.")

set(CPACK_DEBIAN_KEYLIB_SERVER_PACKAGE_NAME tonivox-keylib-server)
set(CPACK_DEBIAN_KEYLIB_SERVER_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_KEYLIB_SERVER_DESCRIPTION
  "Development key-library server for Tonivox
A small HTTP server with an SQLite song-key library that answers the requests of Tonivox's
key-library client. For development and tests; users of the program do not need it.")

include(CPack)
