// One more size trim for Setup.exe's statically linked runtime (see
// runtime_win32.cpp).
#include <unwind.h>

#if defined(__i386__) && !defined(__USING_SJLJ_EXCEPTIONS__)
// Link-time optimisation gives a few functions whose only handlers are
// clean-ups the C language's personality routine, which would bring a second
// reader of the same handler tables (about 1.5 KiB). The C++ routine reads
// those tables alike and runs clean-ups alike, so it answers for both. It is
// a file of its own, built without link-time optimisation: the code generator
// refers to it only after the optimiser has run, which would have dropped it.
extern "C" _Unwind_Reason_Code __gxx_personality_v0(int, _Unwind_Action, _Unwind_Exception_Class,
                                                    _Unwind_Exception*, _Unwind_Context*);
extern "C" _Unwind_Reason_Code __gcc_personality_v0(int version, _Unwind_Action actions,
                                                    _Unwind_Exception_Class exception_class,
                                                    _Unwind_Exception* exception,
                                                    _Unwind_Context* context) {
  return __gxx_personality_v0(version, actions, exception_class, exception, context);
}
#endif
