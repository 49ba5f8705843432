// The resources of TavoTessel.exe as built, read back from the dialog
// preview, which links the same resource object.
#include "client/shell/resource.h"
#include "common/tests/icon_group.h"
#include "version.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

std::wstring PreviewPath()
{
    return ProgramFolder() + TAVO_PREVIEW_EXE;
}

HMODULE Module()
{
    static HMODULE module =
        LoadLibraryExW(PreviewPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    return module;
}

std::string Resource(const wchar_t* type, const wchar_t* name)
{
    HRSRC info = FindResourceW(Module(), name, type);
    if (!info)
        return {};
    const char* data = static_cast<const char*>(LockResource(LoadResource(Module(), info)));
    return std::string(data, SizeofResource(Module(), info));
}

// --- the extended dialog template

struct Control {
    DWORD ex_style = 0;
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    DWORD id = 0;
    std::wstring class_name;
    std::wstring text;
};

struct Dialog {
    DWORD ex_style = 0;
    DWORD style = 0;
    short cx = 0, cy = 0;
    std::wstring caption;
    WORD point_size = 0;
    std::wstring face;
    std::vector<Control> controls;
};

class CTemplateReader {
public:
    explicit CTemplateReader(const std::string& data) : data_(data) {}
    bool ok() const { return ok_; }

    template <typename T>
    T Read()
    {
        T value{};
        if (at_ + sizeof(T) > data_.size()) {
            ok_ = false;
            return value;
        }
        memcpy(&value, data_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }
    std::wstring String()
    {
        std::wstring s;
        for (wchar_t c; ok_ && (c = Read<wchar_t>()) != 0;)
            s.push_back(c);
        return s;
    }
    // A string, or 0xFFFF and an ordinal (the predefined classes by name).
    std::wstring StringOrOrdinal()
    {
        WORD first = Read<WORD>();
        if (first == 0xFFFF) {
            switch (Read<WORD>()) {
            case 0x80: return L"Button";
            case 0x81: return L"Edit";
            case 0x82: return L"Static";
            default: return L"#ordinal";
            }
        }
        at_ -= sizeof(WORD);
        return String();
    }
    void Align() { at_ = (at_ + 3) & ~size_t{3}; }
    void Skip(size_t n) { at_ += n; }

private:
    const std::string& data_;
    size_t at_ = 0;
    bool ok_ = true;
};

Control ReadControl(CTemplateReader& r)
{
    r.Align();
    Control c;
    r.Read<DWORD>();  // help id
    c.ex_style = r.Read<DWORD>();
    c.style = r.Read<DWORD>();
    c.x = r.Read<short>();
    c.y = r.Read<short>();
    c.cx = r.Read<short>();
    c.cy = r.Read<short>();
    c.id = r.Read<DWORD>();
    c.class_name = r.StringOrOrdinal();
    c.text = r.StringOrOrdinal();
    r.Skip(r.Read<WORD>());
    return c;
}

Dialog ReadDialog(int id)
{
    std::string data = Resource(MAKEINTRESOURCEW(5) /* RT_DIALOG */, MAKEINTRESOURCEW(id));
    Dialog d;
    CTemplateReader r(data);
    EXPECT_EQ(r.Read<WORD>(), 1) << "an extended template";
    EXPECT_EQ(r.Read<WORD>(), 0xFFFF);
    r.Read<DWORD>();
    d.ex_style = r.Read<DWORD>();
    d.style = r.Read<DWORD>();
    WORD count = r.Read<WORD>();
    r.Read<short>();
    r.Read<short>();
    d.cx = r.Read<short>();
    d.cy = r.Read<short>();
    r.StringOrOrdinal();  // menu
    r.StringOrOrdinal();  // class
    d.caption = r.String();
    if (d.style & DS_SETFONT) {
        d.point_size = r.Read<WORD>();
        r.Skip(2 + 1 + 1);
        d.face = r.String();
    }
    for (WORD i = 0; i < count && r.ok(); ++i)
        d.controls.push_back(ReadControl(r));
    EXPECT_TRUE(r.ok()) << "dialog " << id;
    return d;
}

const Control* Find(const Dialog& d, DWORD id)
{
    for (const Control& c : d.controls)
        if (c.id == id)
            return &c;
    return nullptr;
}

struct Expected {
    DWORD id;
    const wchar_t* class_name;
    const wchar_t* text = nullptr;  // null: set at run time, not checked
    short x = 0, y = 0, cx = 0, cy = 0;  // cx 0: the layout is ours, not checked
};

void ExpectControls(int dialog_id, const std::vector<Expected>& expected)
{
    Dialog d = ReadDialog(dialog_id);
    ASSERT_EQ(d.controls.size(), expected.size()) << "dialog " << dialog_id;
    for (const Expected& e : expected) {
        const Control* c = Find(d, e.id);
        ASSERT_NE(c, nullptr) << "dialog " << dialog_id << " control " << e.id;
        // Class names are compared as the system does, without regard to case
        // (the resource compiler writes them in capitals).
        EXPECT_EQ(_wcsicmp(c->class_name.c_str(), e.class_name), 0)
            << "control " << e.id << " is a " << std::string(c->class_name.begin(), c->class_name.end());
        if (e.text) {
            EXPECT_EQ(c->text, e.text) << "control " << e.id;
        }
        if (e.cx != 0) {
            EXPECT_EQ(c->x, e.x) << "control " << e.id;
            EXPECT_EQ(c->y, e.y) << "control " << e.id;
            EXPECT_EQ(c->cx, e.cx) << "control " << e.id;
            EXPECT_EQ(c->cy, e.cy) << "control " << e.id;
        }
    }
}

TEST(TrayDialogs, SettingsCentre)
{
    Dialog d = ReadDialog(IDD_SETTINGS);
    EXPECT_EQ(d.caption, L"设置中心");
    EXPECT_EQ(d.face, L"宋体") << "the Chinese face name survived the resource compiler";
    EXPECT_EQ(d.point_size, 10);
    EXPECT_EQ(d.cx, 275);
    EXPECT_EQ(d.cy, 179);
    EXPECT_TRUE(d.ex_style & WS_EX_APPWINDOW);
    EXPECT_TRUE(d.style & DS_CENTER);
    ExpectControls(IDD_SETTINGS, {{1030, L"Button", L"确定(&Y)", 110, 159, 50, 14},
                                  {1001, L"Button", L"取消(&C)", 164, 159, 50, 14},
                                  {1002, L"Button", L"应用(&A)", 218, 159, 50, 14}});
    EXPECT_TRUE(Find(d, 1002)->style & WS_DISABLED);
}

TEST(TrayDialogs, SettingsPages)
{
    ExpectControls(IDD_PAGE_GENERAL,
                   {{1051, L"SysLink", nullptr, 83, 45, 86, 12},
                    {1025, L"Button", L"更换账户", 170, 42, 59, 15},
                    {1043, L"Button", L"开机时自动启动Tavo网盘客户端（推荐）", 26, 90, 199, 11}});
    ExpectControls(IDD_PAGE_SYNC, {{1020, L"Edit", nullptr, 26, 42, 154, 15},
                                   {1021, L"Button", L"更改...", 181, 42, 48, 15},
                                   {1023, L"Button", L"最大上传速度为：", 26, 90, 78, 11},
                                   {1027, L"Edit", nullptr, 104, 88, 59, 15},
                                   {1029, L"msctls_updown32", nullptr, 151, 88, 12, 15},
                                   {1040, L"Static", L"KB/s (1 - 2048)", 168, 91, 67, 11},
                                   {1024, L"Button", L"最大下载速度为：", 26, 108, 78, 11},
                                   {1028, L"Edit", nullptr, 104, 106, 59, 15},
                                   {1026, L"msctls_updown32", nullptr, 151, 106, 12, 15},
                                   {1041, L"Static", L"KB/s (1 - 2048)", 168, 109, 67, 12}});
    ExpectControls(IDD_PAGE_UPDATE, {{1044, L"Button", L"自动下载并安装新的客户端程序(推荐)", 26, 42, 155, 11},
                                     {1045, L"Button", L"关闭自动更新", 26, 57, 155, 11},
                                     {1047, L"Static", nullptr, 26, 103, 203, 11},
                                     {1050, L"Button", L"检查更新", 26, 117, 59, 15},
                                     {1048, L"Static", L"查看更多信息，请", 26, 137, 66, 11},
                                     {1049, L"SysLink", L"<a>访问TavoTessel官方网站</a>", 93, 137, 118, 12}});
    for (int page : {IDD_PAGE_GENERAL, IDD_PAGE_SYNC, IDD_PAGE_UPDATE}) {
        Dialog d = ReadDialog(page);
        EXPECT_EQ(d.cx, 292);
        EXPECT_EQ(d.cy, 187);
        EXPECT_TRUE(d.style & WS_CHILD) << page;
        EXPECT_TRUE(d.style & DS_CONTROL) << page;
        EXPECT_TRUE(d.ex_style & WS_EX_CONTROLPARENT) << page;
    }
}

TEST(TrayDialogs, SettingsControlStyles)
{
    Dialog sync = ReadDialog(IDD_PAGE_SYNC);
    for (DWORD edit : {1027u, 1028u}) {
        EXPECT_TRUE(Find(sync, edit)->style & ES_NUMBER) << edit;
        EXPECT_TRUE(Find(sync, edit)->style & WS_DISABLED) << edit;
    }
    const DWORD updown = 0x0004 /* alignright */ | 0x0002 /* setbuddyint */ | 0x0010 /* autobuddy */ |
                         0x0020 /* arrowkeys */;
    for (DWORD spin : {1029u, 1026u})
        EXPECT_EQ(Find(sync, spin)->style & updown, updown) << spin;
    EXPECT_TRUE(Find(sync, 1020)->style & ES_AUTOHSCROLL);
    EXPECT_TRUE(Find(ReadDialog(IDD_PAGE_GENERAL), 1051)->ex_style & WS_EX_TRANSPARENT);
    EXPECT_TRUE(Find(ReadDialog(IDD_PAGE_UPDATE), 1049)->ex_style & WS_EX_TRANSPARENT);
}

TEST(TrayDialogs, WizardAccountPage)
{
    ExpectControls(IDD_WIZARD_ACCOUNT, {{1004, L"Static", nullptr},
                                        {1005, L"Static", nullptr},
                                        {1031, L"Static", nullptr},
                                        {1033, L"Static", L"用户名："},
                                        {1008, L"Edit", nullptr},
                                        {1011, L"SysLink", L"<a>注册一个！</a>"},
                                        {1032, L"Static", L"密　码："},
                                        {1009, L"Edit", nullptr},
                                        {1010, L"SysLink", L"<a>忘记密码？</a>"},
                                        {1015, L"Static", nullptr},
                                        {1007, L"Static", nullptr},
                                        {1012, L"Static", nullptr},
                                        {1022, L"Button", L"下一步(&N)"},
                                        {1006, L"Static", nullptr}});
    Dialog d = ReadDialog(IDD_WIZARD_ACCOUNT);
    EXPECT_TRUE(Find(d, 1009)->style & ES_PASSWORD);
    EXPECT_FALSE(Find(d, 1015)->style & WS_VISIBLE) << "the error text is hidden at first";
    EXPECT_EQ(Find(d, 1022)->style & BS_TYPEMASK, static_cast<DWORD>(BS_DEFPUSHBUTTON));
    EXPECT_EQ(Find(d, 1007)->style & SS_TYPEMASK, static_cast<DWORD>(SS_ETCHEDHORZ));
    EXPECT_EQ(d.controls.back().id, 1006u) << "the frame lies under the other controls";
}

TEST(TrayDialogs, WizardFolderPage)
{
    ExpectControls(IDD_WIZARD_FOLDER,
                   {{1004, L"Static", nullptr},
                    {1005, L"Static", nullptr},
                    {65535, L"Static",
                     L"\n\rTavoTessel是一个特殊文件夹，文件夹中的内容会\n\r\n\r自动同步存储到网络服务器，帮助您在多台计算机中"
                     L"\n\r\n\r保持文档同步。\n\r\n\r\n\r请选择TavoTessel在您本机存储的位置："},
                    {1020, L"Edit", nullptr},
                    {1021, L"Button", L"更改..."},
                    {1007, L"Static", nullptr},
                    {1012, L"Static", nullptr},
                    {1019, L"Button", L"上一步(&P)"},
                    {1014, L"Button", L"完成(&F)"},
                    {1006, L"Static", nullptr}});
    Dialog d = ReadDialog(IDD_WIZARD_FOLDER);
    EXPECT_EQ(Find(d, 1014)->style & BS_TYPEMASK, static_cast<DWORD>(BS_DEFPUSHBUTTON));
}

TEST(TrayDialogs, AboutBox)
{
    Dialog d = ReadDialog(IDD_ABOUT);
    EXPECT_EQ(d.caption, L"TavoTessel - 关于我们");
    ExpectControls(IDD_ABOUT, {{0xFFFFFFFF, L"Static", nullptr},
                               {1035, L"Static", nullptr},
                               {1037, L"Static", nullptr},
                               {1036, L"SysLink", L"<a>访问TavoTessel官方网站</a>"},
                               {1007, L"Static", nullptr},
                               {IDOK, L"Button", L"确定(&C)"},
                               {1006, L"Static", nullptr}});
    EXPECT_EQ(Find(d, 0xFFFFFFFF)->style & SS_TYPEMASK, static_cast<DWORD>(SS_ICON));
}

TEST(TrayIcons, FiveGroupsOfFourSizes)
{
    const int sizes[] = {48, 32, 24, 16};
    for (int group = IDI_PRODUCT; group <= IDI_TAVO_FILE; ++group) {
        std::string data = Resource(MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, MAKEINTRESOURCEW(group));
        auto header = reinterpret_cast<const TavoTest::GroupIconHeader*>(data.data());
        ASSERT_GE(data.size(), 6u) << group;
        ASSERT_EQ(header->count, 4) << group;
        ASSERT_EQ(data.size(), 6 + header->count * sizeof(TavoTest::GroupIconEntry));
        for (int i = 0; i < header->count; ++i) {
            const TavoTest::GroupIconEntry& e = header->entries[i];
            EXPECT_EQ(e.width, sizes[i]) << group;
            EXPECT_EQ(e.bit_count, 32) << group;
            EXPECT_FALSE(Resource(MAKEINTRESOURCEW(3) /* RT_ICON */, MAKEINTRESOURCEW(e.id)).empty());
        }
    }
}

TEST(TrayIcons, SmallImagesLoad)
{
    for (int group = IDI_PRODUCT; group <= IDI_TAVO_FILE; ++group) {
        HICON icon = static_cast<HICON>(LoadImageW(Module(), MAKEINTRESOURCEW(group), IMAGE_ICON, 16, 16, 0));
        EXPECT_NE(icon, nullptr) << group;
        if (icon)
            DestroyIcon(icon);
    }
}

TEST(TrayPicture, SidePictureIsA164By314Png)
{
    std::string png = Resource(L"PNG", MAKEINTRESOURCEW(IDR_WIZARD_PICTURE));
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    auto be32 = [&](size_t at) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(png.data()) + at;
        return (DWORD{p[0]} << 24) | (DWORD{p[1]} << 16) | (DWORD{p[2]} << 8) | p[3];
    };
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    EXPECT_EQ(be32(16), 164u);
    EXPECT_EQ(be32(20), 314u);
}

TEST(TrayManifest, BindsCommonControlsSix)
{
    std::string manifest = Resource(MAKEINTRESOURCEW(24) /* RT_MANIFEST */, MAKEINTRESOURCEW(1));
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\""), std::string::npos);
    EXPECT_NE(manifest.find("version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
}

std::wstring Widen(const char* text)
{
    return std::wstring(text, text + strlen(text));
}

TEST(TrayVersion, StampedFromTheProjectVersion)
{
    std::wstring path = PreviewPath();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::string data(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, &data[0]));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(&data[0], L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwProductVersionMS, DWORD{TAVO_VERSION_MAJOR} << 16 | TAVO_VERSION_MINOR);
    EXPECT_EQ(fixed->dwProductVersionLS, DWORD{TAVO_VERSION_PATCH} << 16 | TAVO_VERSION_TWEAK);
    EXPECT_EQ(fixed->dwFileVersionMS, DWORD{TAVO_VERSION_MAJOR} << 16 | TAVO_VERSION_MINOR);
    EXPECT_EQ(fixed->dwFileVersionLS, DWORD{TAVO_VERSION_PATCH} << 16 | TAVO_BUILD_NUMBER);
    const std::pair<const wchar_t*, std::wstring> strings[] = {
        {L"FileVersion", Widen(TAVO_FILE_VERSION_TEXT)},
        {L"ProductVersion", Widen(TAVO_PRODUCT_VERSION_TEXT)},
        {L"OriginalFilename", L"TavoTessel.exe"},
        {L"FileDescription", L"TavoTessel网盘客户端"}};
    for (const auto& [name, expected] : strings) {
        std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
        wchar_t* value = nullptr;
        ASSERT_TRUE(VerQueryValueW(&data[0], query.c_str(), reinterpret_cast<void**>(&value), &length)) << name;
        EXPECT_EQ(std::wstring(value), expected) << name;
    }
}

}  // namespace
