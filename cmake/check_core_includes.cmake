# Fails when a file of the portable core includes anything but a standard C or C++ header or
# a header of the core itself: a platform header there would tie every build to one system.
# Run as: cmake -DCORE_DIR=<src/core> -P check_core_includes.cmake
cmake_minimum_required(VERSION 3.25)

if(NOT IS_DIRECTORY "${CORE_DIR}")
  message(FATAL_ERROR "check_core_includes: CORE_DIR '${CORE_DIR}' is not a directory")
endif()

# The C++17 library headers and the C library headers, in both their C and C++ spellings.
set(standard_c
  assert complex ctype errno fenv float inttypes iso646 limits locale math setjmp signal
  stdalign stdarg stdbool stddef stdint stdio stdlib string tgmath time uchar wchar wctype)
set(standard_cxx
  algorithm any array atomic bitset charconv chrono codecvt complex condition_variable deque
  exception execution filesystem forward_list fstream functional future initializer_list
  iomanip ios iosfwd iostream istream iterator limits list locale map memory memory_resource
  mutex new numeric optional ostream queue random ratio regex scoped_allocator set
  shared_mutex sstream stack stdexcept streambuf string string_view system_error thread tuple
  type_traits typeindex typeinfo unordered_map unordered_set utility valarray variant vector)
set(allowed ${standard_cxx})
foreach(name IN LISTS standard_c)
  list(APPEND allowed "${name}.h" "c${name}")
endforeach()

file(GLOB_RECURSE core_files RELATIVE "${CORE_DIR}" "${CORE_DIR}/*.h" "${CORE_DIR}/*.hpp"
     "${CORE_DIR}/*.c" "${CORE_DIR}/*.cc" "${CORE_DIR}/*.cpp")
set(violations "")
foreach(file IN LISTS core_files)
  file(STRINGS "${CORE_DIR}/${file}" lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*<([^>]+)>")
      set(header "${CMAKE_MATCH_1}")
      if(header IN_LIST allowed)
        continue()
      endif()
    elseif(line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"")
      # Only a header that lies in the core folder itself.
      get_filename_component(dir "${CORE_DIR}/${file}" DIRECTORY)
      get_filename_component(found "${dir}/${CMAKE_MATCH_1}" REALPATH)
      get_filename_component(core "${CORE_DIR}" REALPATH)
      string(FIND "${found}" "${core}/" at)
      if(at EQUAL 0 AND EXISTS "${found}")
        continue()
      endif()
    endif()
    # Anything else, a computed include too, is refused.
    string(STRIP "${line}" line)
    string(APPEND violations "\n  src/core/${file}: ${line}")
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "The portable core may include only standard C/C++ headers and its own:"
                      "${violations}")
endif()
