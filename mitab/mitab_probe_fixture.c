/* Stand-ins the tests load instead of the mitab library, to see how the
 * converter judges what it finds: one reports another version, one reports
 * the right version but has no other entry point. */
#if defined(__GNUC__)
#define FIXTURE_EXPORT __attribute__((visibility("default")))
#else
#define FIXTURE_EXPORT
#endif

FIXTURE_EXPORT int mitab_c_getlibversion(void) { return FIXTURE_VERSION; }
