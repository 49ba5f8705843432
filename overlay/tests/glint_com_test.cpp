#include <gtest/gtest.h>

#include "common/tests/test_support.h"
#include "common/win_handle.h"
#include "glint_test_support.h"

using namespace GlintTest;

namespace {

const IID kIidOverlay = {0x0C6C4200, 0xC589, 0x11D0, {0x99, 0x9A, 0x00, 0xC0, 0x4F, 0xD6, 0x55, 0xE1}};

void* const kGarbage = reinterpret_cast<void*>(0x1234);

// Every test starts and must end with nothing alive in the module.
class GlintCom : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Dll().can_unload_now(), S_OK); }
    void TearDown() override { EXPECT_EQ(Dll().can_unload_now(), S_OK); }

    void Factory(unsigned kind, CRef<IClassFactory>* factory)
    {
        CLSID id = OverlayClassId(kind);
        ASSERT_EQ(Dll().get_class_object(id, IID_IClassFactory, factory->PutVoid()), S_OK);
    }
};

TEST_F(GlintCom, EveryClassDescribesItsOwnBadge)
{
    for (unsigned kind = 0; kind < kOverlayCount; ++kind) {
        CRef<IShellIconOverlayIdentifier> overlay;
        MakeOverlay(kind, &overlay);
        wchar_t file[260] = L"x";
        int index = -1;
        DWORD flags = 0;
        ASSERT_EQ(overlay->GetOverlayInfo(file, 260, &index, &flags), S_OK);
        EXPECT_EQ(lstrcmpiW(file, Dll().path.c_str()), 0);
        EXPECT_EQ(index, static_cast<int>(kind));
        EXPECT_EQ(flags, 3u);
        int priority = -1;
        ASSERT_EQ(overlay->GetPriority(&priority), S_OK);
        EXPECT_EQ(priority, static_cast<int>(kind));
    }
}

TEST_F(GlintCom, UnknownClassIdsAreRefused)
{
    CLSID later_byte = OverlayClassId(0);
    later_byte.Data4[7] ^= 1;
    CLSID sixth = OverlayClassId(5);
    for (const CLSID& id : {later_byte, sixth, CLSID(IID_IUnknown)}) {
        void* out = kGarbage;
        EXPECT_EQ(Dll().get_class_object(id, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
        EXPECT_EQ(out, nullptr);
    }
    CLSID id = OverlayClassId(2);
    EXPECT_EQ(Dll().get_class_object(id, IID_IClassFactory, nullptr), E_POINTER);
}

TEST_F(GlintCom, ClassObjectForAnotherInterfaceLeavesNothingAlive)
{
    CLSID id = OverlayClassId(1);
    void* out = kGarbage;
    EXPECT_EQ(Dll().get_class_object(id, IID_IStream, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(Dll().can_unload_now(), S_OK);

    CRef<IUnknown> unknown;
    EXPECT_EQ(Dll().get_class_object(id, IID_IUnknown, unknown.PutVoid()), S_OK);
    EXPECT_EQ(Dll().can_unload_now(), S_FALSE);
}

TEST_F(GlintCom, HeldFactoryKeepsTheModuleLoaded)
{
    CRef<IClassFactory> factory;
    Factory(3, &factory);
    EXPECT_EQ(Dll().can_unload_now(), S_FALSE);
    EXPECT_EQ(factory->LockServer(TRUE), E_NOTIMPL);
    EXPECT_EQ(factory->LockServer(FALSE), E_NOTIMPL);

    // A second reference through QueryInterface is counted on the same object.
    CRef<IUnknown> again;
    ASSERT_EQ(factory->QueryInterface(IID_IUnknown, again.PutVoid()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(factory.Get()), again.Get());
    void* out = kGarbage;
    EXPECT_EQ(factory->QueryInterface(kIidOverlay, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    again.Reset();
    EXPECT_EQ(Dll().can_unload_now(), S_FALSE);
    factory.Reset();
    EXPECT_EQ(Dll().can_unload_now(), S_OK);
}

TEST_F(GlintCom, CreateInstanceRefusals)
{
    CRef<IClassFactory> factory;
    Factory(0, &factory);
    CRef<IUnknown> outer;
    ASSERT_EQ(factory->QueryInterface(IID_IUnknown, outer.PutVoid()), S_OK);
    void* out = kGarbage;
    EXPECT_EQ(factory->CreateInstance(outer.Get(), kIidOverlay, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, kIidOverlay, nullptr), E_POINTER);
    out = kGarbage;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    outer.Reset();
    factory.Reset();
    // Nothing made by the refused calls stays alive (checked in TearDown).
}

TEST_F(GlintCom, ObjectOutlivesItsFactoryAndCountsReferences)
{
    CRef<IShellIconOverlayIdentifier> overlay;
    MakeOverlay(4, &overlay);
    EXPECT_EQ(Dll().can_unload_now(), S_FALSE);
    EXPECT_EQ(overlay->AddRef(), 2u);
    EXPECT_EQ(overlay->Release(), 1u);

    CRef<IUnknown> unknown;
    ASSERT_EQ(overlay->QueryInterface(IID_IUnknown, unknown.PutVoid()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(overlay.Get()), unknown.Get());
    void* out = kGarbage;
    EXPECT_EQ(overlay->QueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    unknown.Reset();
    overlay.Reset();
}

TEST_F(GlintCom, ArgumentChecks)
{
    CRef<IShellIconOverlayIdentifier> overlay;
    MakeOverlay(2, &overlay);
    wchar_t file[300];
    int index = 0;
    DWORD flags = 0;
    EXPECT_EQ(overlay->GetOverlayInfo(file, 259, &index, &flags), E_INVALIDARG);
    EXPECT_EQ(overlay->GetOverlayInfo(nullptr, 260, &index, &flags), E_POINTER);
    EXPECT_EQ(overlay->GetOverlayInfo(file, 260, nullptr, &flags), E_POINTER);
    EXPECT_EQ(overlay->GetOverlayInfo(file, 260, &index, nullptr), E_POINTER);
    EXPECT_EQ(overlay->GetOverlayInfo(file, 300, &index, &flags), S_OK);
    EXPECT_EQ(overlay->GetPriority(nullptr), E_POINTER);
    EXPECT_EQ(overlay->IsMemberOf(nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(overlay->IsMemberOf(L"", FILE_ATTRIBUTE_DIRECTORY), S_FALSE);
    EXPECT_EQ(overlay->IsMemberOf(L"Q:\\nowhere\\file.txt", 0), S_FALSE);
}

TEST_F(GlintCom, SecondCopyLoadsAnswersAndUnloadsCleanly)
{
    // Explorer frees the DLL once DllCanUnloadNow allows it; the folder
    // table goes with it. A copy under another name gets its own module.
    Testing::CTempFolder folder(L"GlintUnload");
    const std::wstring copy = folder / L"GlintUnloadCopy.dll";
    ASSERT_TRUE(CopyFileW(Dll().path.c_str(), copy.c_str(), FALSE));
    for (int round = 0; round < 3; ++round) {
        Helper::CModuleHandle module(LoadLibraryW(copy.c_str()));
        ASSERT_TRUE(module);
        auto get_class_object = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
            reinterpret_cast<void*>(GetProcAddress(module.Get(), "DllGetClassObject")));
        auto can_unload_now = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
            reinterpret_cast<void*>(GetProcAddress(module.Get(), "DllCanUnloadNow")));
        ASSERT_TRUE(get_class_object && can_unload_now);
        {
            CRef<IClassFactory> factory;
            CLSID id = OverlayClassId(1);
            ASSERT_EQ(get_class_object(id, IID_IClassFactory, factory.PutVoid()), S_OK);
            CRef<IShellIconOverlayIdentifier> overlay;
            ASSERT_EQ(factory->CreateInstance(nullptr, kIidOverlay, overlay.PutVoid()), S_OK);
            factory.Reset();
            EXPECT_EQ(overlay->IsMemberOf(L"C:\\windows\\win.ini", 0), S_FALSE);
            EXPECT_EQ(can_unload_now(), S_FALSE);
        }
        EXPECT_EQ(can_unload_now(), S_OK);
        ASSERT_TRUE(FreeLibrary(module.Release()));
    }
}

TEST_F(GlintCom, ObjectsFromSeveralApartmentsShareTheLiveCount)
{
    constexpr int kThreads = 4;
    Helper::CHandle threads[kThreads];
    HANDLE waits[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        threads[t].Reset(CreateThread(
            nullptr, 0,
            [](void*) -> DWORD {
                CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
                for (int i = 0; i < 200; ++i) {
                    CRef<IShellIconOverlayIdentifier> overlay;
                    MakeOverlay(static_cast<unsigned>(i % 5), &overlay);
                    overlay->IsMemberOf(L"C:\\windows\\win.ini", 0);
                }
                CoUninitialize();
                return 0;
            },
            nullptr, 0, nullptr));
        ASSERT_TRUE(threads[t]);
        waits[t] = threads[t].Get();
    }
    ASSERT_EQ(WaitForMultipleObjects(kThreads, waits, TRUE, 60000), WAIT_OBJECT_0);
}

}  // namespace
