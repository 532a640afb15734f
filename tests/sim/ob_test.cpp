// Object manager model: namespace parsing, links, handles, references.
#include "sim/ob/ob.h"
#include "sim/ps/ps.h"
#include "sim/user/process.h"

#include <gtest/gtest.h>

namespace {

using sim::ob::ObjectType;

class SimOb : public ::testing::Test {
protected:
    void SetUp() override { sim::ResetKernel(); }
    void TearDown() override { sim::ResetKernel(); }
};

int gCloses = 0;
void CountClosep(_EPROCESS*, void*, ACCESS_MASK) { ++gCloses; }
const sim::ob::HandleProcedures kCounting{"test", CountClosep, nullptr};

int gDeletes = 0;
void CountDeletep(void*) { ++gDeletes; }

TEST_F(SimOb, DosDeviceNamesMeetInTheGlobalDirectoryWhicheverSpellingIsUsed) {
    int object = 0;
    ASSERT_EQ(sim::ob::InsertObject(u"\\DosDevices\\Thing", ObjectType::Other, &object), STATUS_SUCCESS);
    for (auto path : {u"\\GLOBAL??\\Thing", u"\\??\\THING", u"\\DosDevices\\thing", u"\\global??\\tHiNg"}) {
        void* body = nullptr;
        EXPECT_EQ(sim::ob::LookupObject(path, ObjectType::Other, &body), STATUS_SUCCESS);
        EXPECT_EQ(body, &object);
    }
    auto names = sim::ob::ListDirectory(u"\\GLOBAL??");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], u"Thing");  // the case it was created with
    std::u16string target;
    EXPECT_EQ(sim::ob::QuerySymbolicLink(u"\\DosDevices", &target), STATUS_SUCCESS);
    EXPECT_EQ(target, u"\\??");
}

TEST_F(SimOb, ParseReportsMissingNamesAndPathsAndHandsBackTheRemainderBelowAnObject) {
    int device = 0;
    ASSERT_EQ(sim::ob::InsertObject(u"\\Device\\Box", ObjectType::Device, &device), STATUS_SUCCESS);
    EXPECT_EQ(sim::ob::InsertObject(u"\\Device\\BOX", ObjectType::Device, &device), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::ob::InsertObject(u"\\NoSuchDir\\Box", ObjectType::Device, &device), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(sim::ob::InsertObject(u"Device\\Box", ObjectType::Device, &device), STATUS_OBJECT_PATH_SYNTAX_BAD);

    sim::ob::LookupResult result;
    EXPECT_EQ(sim::ob::ParseName(u"\\Device\\Nothing", &result), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::ob::ParseName(u"\\Nothing\\Box", &result), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(sim::ob::ParseName(u"\\Device\\\\Box", &result), STATUS_OBJECT_NAME_INVALID);

    ASSERT_EQ(sim::ob::CreateSymbolicLink(u"\\??\\B", u"\\Device\\Box"), STATUS_SUCCESS);
    ASSERT_EQ(sim::ob::ParseName(u"\\??\\b\\Inner\\File.txt", &result), STATUS_SUCCESS);
    EXPECT_EQ(result.type, ObjectType::Device);
    EXPECT_EQ(result.body, &device);
    EXPECT_EQ(result.remainder, u"\\Inner\\File.txt");
    EXPECT_EQ(result.objectPath, u"\\Device\\Box");

    void* body = nullptr;
    EXPECT_EQ(sim::ob::LookupObject(u"\\??\\B\\Inner", ObjectType::Other, &body), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(sim::ob::LookupObject(u"\\??\\B", ObjectType::Port, &body), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(body, nullptr);

    // Another area's object cannot be removed by naming it.
    int other = 0;
    EXPECT_EQ(sim::ob::RemoveObject(u"\\Device\\Box", &other), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::ob::RemoveObject(u"\\Device\\box", &device), STATUS_SUCCESS);
    EXPECT_EQ(sim::ob::ParseName(u"\\??\\B", &result), STATUS_OBJECT_NAME_NOT_FOUND);  // the link dangles
}

TEST_F(SimOb, LinkLoopsAndDeletingWhatIsNotALinkAreRefused) {
    ASSERT_EQ(sim::ob::CreateSymbolicLink(u"\\??\\A", u"\\??\\B"), STATUS_SUCCESS);
    ASSERT_EQ(sim::ob::CreateSymbolicLink(u"\\??\\B", u"\\??\\A"), STATUS_SUCCESS);
    sim::ob::LookupResult result;
    EXPECT_EQ(sim::ob::ParseName(u"\\??\\A", &result), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(sim::ob::CreateSymbolicLink(u"\\??\\A", u"\\Device"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::ob::DeleteSymbolicLink(u"\\Device"), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(sim::ob::DeleteSymbolicLink(u"\\??\\Z"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::ob::DeleteSymbolicLink(u"\\??\\a"), STATUS_SUCCESS);
}

TEST_F(SimOb, HandlesArePerProcessExceptKernelHandles) {
    _EPROCESS* one = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\one.exe");
    _EPROCESS* two = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\two.exe");
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    int object = 0;
    HANDLE first = nullptr, second = nullptr, kernel = nullptr;
    ASSERT_EQ(sim::ob::CreateHandle(one, false, ObjectType::Other, &object, 7, &kCounting, &first), STATUS_SUCCESS);
    ASSERT_EQ(sim::ob::CreateHandle(one, false, ObjectType::Other, &object, 7, &kCounting, &second), STATUS_SUCCESS);
    ASSERT_EQ(sim::ob::CreateHandle(one, true, ObjectType::Other, &object, 1, &kCounting, &kernel), STATUS_SUCCESS);
    for (HANDLE h : {first, second, kernel}) {
        EXPECT_NE(h, nullptr);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(h) % 4, 0u);
    }
    EXPECT_NE(first, second);
    EXPECT_TRUE(sim::ob::IsKernelHandle(kernel));
    EXPECT_LT(reinterpret_cast<LONG_PTR>(kernel), 0);

    sim::ob::HandleEntry entry;
    EXPECT_EQ(sim::ob::LookupHandle(one, first, ObjectType::Other, &entry), STATUS_SUCCESS);
    EXPECT_EQ(entry.grantedAccess, 7u);
    EXPECT_EQ(sim::ob::LookupHandle(two, first, ObjectType::Other, &entry), STATUS_INVALID_HANDLE);
    EXPECT_EQ(sim::ob::LookupHandle(two, kernel, ObjectType::Other, &entry), STATUS_SUCCESS);
    EXPECT_EQ(sim::ob::LookupHandle(one, first, ObjectType::File, &entry), STATUS_OBJECT_TYPE_MISMATCH);

    gCloses = 0;
    EXPECT_EQ(sim::ob::CloseHandle(one, first), STATUS_SUCCESS);
    EXPECT_EQ(sim::ob::CloseHandle(one, first), STATUS_INVALID_HANDLE);
    EXPECT_EQ(gCloses, 1);
    // A process's exit closes what it still holds; kernel handles stay.
    EXPECT_EQ(sim::user::EndProcess(one), STATUS_SUCCESS);
    EXPECT_EQ(gCloses, 2);
    EXPECT_EQ(sim::ob::HandleCount(nullptr, true), 1u);
    EXPECT_EQ(sim::ob::CloseHandle(two, kernel), STATUS_SUCCESS);
    EXPECT_EQ(gCloses, 3);
}

TEST_F(SimOb, ReferencesKeepAnObjectUntilTheLastOneGoes) {
    int object = 0;
    gDeletes = 0;
    sim::ob::RegisterObject(&object, ObjectType::Other, CountDeletep);
    ObfReferenceObject(&object);
    EXPECT_EQ(sim::ob::ReferenceCount(&object), 2);
    ObfDereferenceObject(&object);
    EXPECT_EQ(gDeletes, 0);
    ObfDereferenceObject(&object);
    EXPECT_EQ(gDeletes, 1);
    EXPECT_FALSE(sim::ob::IsRegisteredObject(&object));
    EXPECT_FALSE(sim::ob::TryReferenceObject(&object));
}

TEST_F(SimOb, ReleasingAReferenceTooOftenStopsTheSystem) {
    EXPECT_DEATH(
        {
            _EPROCESS* process = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\a.exe");
            sim::user::EndProcess(process);
            ObfDereferenceObject(process);
        },
        "REFERENCE_BY_POINTER");
}

TEST_F(SimOb, OpenByPointerGivesAHandleThatHoldsAReference) {
    _EPROCESS* process = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\a.exe");
    ASSERT_NE(process, nullptr);
    LONG_PTR before = sim::ob::ReferenceCount(process);
    HANDLE handle = nullptr;
    EXPECT_EQ(ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, 0, *PsThreadType, KernelMode, &handle),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(handle, nullptr);
    ASSERT_EQ(ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, 0, *PsProcessType, KernelMode, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::ob::ReferenceCount(process), before + 1);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::ob::ReferenceCount(process), before);
    EXPECT_DEATH(ZwClose(handle), "INVALID_KERNEL_HANDLE");
}

TEST_F(SimOb, SymbolicLinkTargetIsQueriedWithTheSizeFirst) {
    ASSERT_EQ(sim::ob::CreateSymbolicLink(u"\\??\\Q:", u"\\Device\\HarddiskVolume7"), STATUS_SUCCESS);
    std::u16string name = u"\\??\\q:";
    UNICODE_STRING linkName{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &linkName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE link = nullptr;
    ASSERT_EQ(ZwOpenSymbolicLinkObject(&link, SYMBOLIC_LINK_QUERY, &attributes), STATUS_SUCCESS);

    UNICODE_STRING target{0, 0, nullptr};
    ULONG needed = 0;
    EXPECT_EQ(ZwQuerySymbolicLinkObject(link, &target, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_GE(needed, sizeof(u"\\Device\\HarddiskVolume7") - 2);
    std::vector<WCHAR> buffer(needed / 2);
    target = UNICODE_STRING{0, static_cast<USHORT>(needed), buffer.data()};
    ASSERT_EQ(ZwQuerySymbolicLinkObject(link, &target, &needed), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(target.Buffer, target.Length / 2), u"\\Device\\HarddiskVolume7");
    EXPECT_EQ(ZwClose(link), STATUS_SUCCESS);

    std::u16string missing = u"\\??\\R:";
    UNICODE_STRING missingName{static_cast<USHORT>(missing.size() * 2), static_cast<USHORT>(missing.size() * 2),
                               missing.data()};
    InitializeObjectAttributes(&attributes, &missingName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(ZwOpenSymbolicLinkObject(&link, SYMBOLIC_LINK_QUERY, &attributes), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(link, nullptr);
}

TEST_F(SimOb, ResetGivesAFreshNamespace) {
    int object = 0;
    ASSERT_EQ(sim::ob::InsertObject(u"\\Device\\Gone", ObjectType::Other, &object), STATUS_SUCCESS);
    sim::ResetKernel();
    void* body = nullptr;
    EXPECT_EQ(sim::ob::LookupObject(u"\\Device\\Gone", ObjectType::Other, &body), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::ob::LookupObject(u"\\Device", ObjectType::Directory, &body), STATUS_SUCCESS);
}

}  // namespace
