// Under LeakSanitizer: fontconfig, which cairo's text goes through, keeps its
// configuration and font patterns for the life of the process by design;
// those are not the tool's leaks.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QOVA_LEAK_CHECKED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QOVA_LEAK_CHECKED 1
#endif

#ifdef QOVA_LEAK_CHECKED
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
extern "C" const char *__lsan_default_options() { return "print_suppressions=0"; }
#endif
