# qnapi-config.cmake - find_package(qnapi CONFIG) gives qnapi::qnapi (the
# shared library) and qnapi::qnapi_static (the static one, which brings the
# threads and C++ run-time libraries it needs).
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include(${CMAKE_CURRENT_LIST_DIR}/qnapi-targets.cmake)
