// Read by the sanitizers when they start, in the sanitizer builds of the
// window tests. Both entries are about libraries built without the sanitizers.

// fontconfig, which Qt loads for its fonts, and D-Bus, which it opens on an X
// server, keep blocks of their own alive to the end.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n"
           "leak:libdbus-1.so\n";
}

// Qt's painting hands work to its own pooled threads and syncs with them
// through futexes that ThreadSanitizer cannot see, so the frees and copies that
// Qt itself makes on either side look like races. Only calls made from inside
// Qt are passed over; every access of the player's own code is still checked.
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so\n"
           "called_from_lib:libQt6Gui.so\n";
}
