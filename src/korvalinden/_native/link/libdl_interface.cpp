// The link-time face of the loader's libdl.so.2 as every C library from 2.24
// on offers it (see CMakeLists.txt): the module binds dlsym to version
// GLIBC_2.2.5 of libdl.so.2. Never installed and never loaded: at run time the
// system's own libdl.so.2 stands here.
extern "C" void* dlsym(void*, const char*) { return nullptr; }
