// A module without DllMain and without DllGetClassObject: it loads, GetProcAddress finds its one
// export, and a class registered with it as its server fails with CO_E_ERRORINDLL.
extern "C" int PlainModule_Answer() {
    return 42;
}
