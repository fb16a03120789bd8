/* pyconfig.h for extensions built by MinGW-w64 for the 64-bit Windows
 * CPython 3.12 (the python.org build, linked against the UCRT).
 *
 * The C API headers are the same on every platform except this file. It
 * states the facts of that interpreter the headers branch on: Windows, its
 * thread model, a shared python312.dll whose symbols are imported, and the
 * LLP64 type sizes. No debug macros: the interpreter is a release build. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#error "this pyconfig.h is for x86_64 Windows only"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define MS_WINDOWS_DESKTOP 1
#define MS_WINDOWS_APP 1
#define MS_WINDOWS_SYSTEM 1
#define MS_WINDOWS_MSSTORE 1

/* python312.dll: the headers declare its functions and data dllimport, and
 * PyMODINIT_FUNC dllexport. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64 */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_PID_T SIZEOF_INT
#define ALIGNOF_MAX_ALIGN_T 8
#define PYLONG_BITS_IN_DIGIT 30

#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long
#define HAVE_USABLE_WCHAR_T 1
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_LARGEFILE_SUPPORT
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

#endif /* Py_CONFIG_H */
