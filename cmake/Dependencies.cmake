# Every dependency is a Debian package installed by scripts/install-deps.
find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Network DBus Concurrent Qml Quick QuickControls2 Svg Widgets)
find_package(QCoro6 0.8 REQUIRED COMPONENTS Core Network)
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

if(TONIVOX_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(TONIVOX_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
