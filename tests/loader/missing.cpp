// A driver that imports a routine the model does not export: its load is
// refused and the refusal names the module and the routine.
extern "C" __declspec(dllimport) void HalExamineMBR(void* device, unsigned long sectorSize, unsigned long type,
                                                    void** buffer);
extern "C" __declspec(dllimport) void TestNote(unsigned long long value);

extern "C" long DriverEntry(void* driverObject, void* registryPath) {
    TestNote(1);
    void* buffer = nullptr;
    HalExamineMBR(driverObject, 512, 0x55, &buffer);
    (void)registryPath;
    return 0;
}
