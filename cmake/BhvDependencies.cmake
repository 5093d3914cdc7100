# Third-party libraries, all from Debian packages (scripts/install-deps.sh).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(OpenCV REQUIRED COMPONENTS core imgproc imgcodecs)
pkg_check_modules(TINYXML REQUIRED IMPORTED_TARGET tinyxml)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libavutil libswscale)
find_package(Iconv)

# Debian builds TinyXML with its std::string interface; the header defines TIXML_USE_STL itself.
add_library(bhv_tinyxml INTERFACE)
target_link_libraries(bhv_tinyxml INTERFACE PkgConfig::TINYXML)

add_library(bhv_opencv INTERFACE)
target_include_directories(bhv_opencv SYSTEM INTERFACE ${OpenCV_INCLUDE_DIRS})
target_link_libraries(bhv_opencv INTERFACE ${OpenCV_LIBS})

if(BHV_BUILD_GUI)
  find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Charts Test)
endif()
