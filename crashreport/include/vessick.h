/*
 * Vessick: crash reporting for 32-bit Windows applications.
 *
 * Load Vessick.dll and call InitOrlent once, early. From then on every last-chance failure of
 * the process (an unhandled exception on any thread, a stack overflow, the C run-time's failure
 * callbacks and fatal signals in Vessick's own run-time) is recorded and handed to the reporter
 * program orlent.exe, after which the process ends with exit code 4660 (0x1234).
 *
 * The functions use the caller-cleans (cdecl) convention, take UTF-8 text, return nothing and
 * report no errors. Call them from one thread at a time. Unloading the library (FreeLibrary)
 * ends crash reporting: it removes its vectored handler and gives back every hook that still
 * holds one of its handlers (what the host had there before InitOrlent comes back).
 */
#ifndef VESSICK_H
#define VESSICK_H

#ifdef __cplusplus
extern "C" {
#endif

/* Exit code of a process whose fault was reported (or whose report could not be started). */
#define VESSICK_CRASH_EXIT_CODE 4660

/*
 * Starts crash reporting for the process.
 *   text1..text4  descriptive texts stored for the reporter (product, version, channel, any
 *                 extra text); NUL-terminated UTF-8. A null pointer counts as empty text.
 *   number1..3    numbers stored for the reporter; only the low 16 bits of each are kept.
 *   reporterDir   folder that holds orlent.exe (UTF-8). Empty (or null): the reporter is looked
 *                 for in the system's standard search order.
 * Calling it again starts over with a new record (the user number is then 0 again). A call
 * that cannot get the memory it needs changes nothing: the earlier record and folder stay.
 */
void __cdecl InitOrlent(const char* text1, const char* text2, const char* text3,
                        const char* text4, unsigned int number1, unsigned int number2,
                        unsigned int number3, const char* reporterDir);

/*
 * Stores the user number for the report and puts every hook back in place, including the
 * per-thread run-time hooks of the calling thread. Does nothing before InitOrlent.
 */
void __cdecl SetOrlentUin(unsigned int uin);

/*
 * Puts every hook back in place (for instance after a third-party module replaced the
 * unhandled-exception filter) and installs the per-thread run-time hooks for the calling
 * thread. Does nothing before InitOrlent.
 */
void __cdecl ValidateOrlent(void);

#ifdef __cplusplus
}
#endif

#endif /* VESSICK_H */
