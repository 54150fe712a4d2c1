// Windows backend of the platform layer. Not built yet: the registry is run
// and tested on POSIX systems; a Windows port implements platform.h here over
// the Win32 file API (GetFileAttributesExA, FindFirstFileA, CreateDirectoryA,
// MoveFileExA with and without MOVEFILE_REPLACE_EXISTING, BCryptGenRandom).
#ifdef _WIN32
#error "the Windows backend of platform.h is not written yet"
#endif
