# Third-party libraries, all from Debian packages (scripts/install-deps.sh).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(OpenCV REQUIRED COMPONENTS core imgproc imgcodecs)
pkg_check_modules(TINYXML2 REQUIRED IMPORTED_TARGET tinyxml2)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libavutil libswscale)
# JPEG pictures in the program (src/imaging/Jpeg.*), in place of OpenCV's imgcodecs.
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
find_package(Iconv)

# The XML parser and printer of the settings files (src/storage/XmlFile.cpp only).
add_library(bhv_tinyxml2 INTERFACE)
target_link_libraries(bhv_tinyxml2 INTERFACE PkgConfig::TINYXML2)

# The program links OpenCV's core and imgproc only: imgcodecs loads some 35 MB of libraries that
# the program never uses (GDAL, DICOM, PDF and geodesy readers among them), and its JPEG
# pictures go through TurboJPEG. Tools that are separate programs, the tests and the benchmarks
# may read and write other image files with bhv_opencv_imgcodecs.
add_library(bhv_opencv INTERFACE)
target_include_directories(bhv_opencv SYSTEM INTERFACE ${OpenCV_INCLUDE_DIRS})
target_link_libraries(bhv_opencv INTERFACE opencv_core opencv_imgproc)
add_library(bhv_opencv_imgcodecs INTERFACE)
target_link_libraries(bhv_opencv_imgcodecs INTERFACE bhv_opencv opencv_imgcodecs)

if(BHV_BUILD_GUI)
  find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Charts Svg Test)
endif()

# bhv_add_subsystem(<name> DEPS <targets...> [EXCLUDE <files...>]): the library bhv_<name> from
# every .cpp file in the calling folder and its subfolders except EXCLUDE (file names relative
# to the folder, built into a library of their own), an INTERFACE library while there is none.
function(bhv_add_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB_RECURSE _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(_excluded ${ARG_EXCLUDE})
    list(REMOVE_ITEM _sources ${CMAKE_CURRENT_SOURCE_DIR}/${_excluded})
  endforeach()
  if(_sources)
    add_library(bhv_${name} STATIC ${_sources})
    target_include_directories(bhv_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(bhv_${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(bhv_${name} INTERFACE)
    target_link_libraries(bhv_${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()
