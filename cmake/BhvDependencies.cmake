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
  find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Charts Svg Test)
endif()

# bhv_add_subsystem(<name> DEPS <targets...>): the library bhv_<name> from every .cpp file in the
# calling folder and its subfolders (an INTERFACE library while the folder has none yet).
function(bhv_add_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(_sources)
    add_library(bhv_${name} STATIC ${_sources})
    target_include_directories(bhv_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(bhv_${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(bhv_${name} INTERFACE)
    target_link_libraries(bhv_${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()
