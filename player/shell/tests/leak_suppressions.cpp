// Read by LeakSanitizer when it starts, in the sanitizer builds: fontconfig,
// which Qt loads for its fonts, keeps a block of its own alive to the end.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
