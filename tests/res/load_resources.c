/* Loads every resource of res/brindlequartz.rc the way the Windows program uses it and
   reports what does not come out as expected. Built and run under Wine by
   check_resources.py ("wine" check); prints one line per failure, exits with their count. */

#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include "resource_ids.h"

static int failures;

static void fail(const char* what, const char* detail) {
    printf("FAIL: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
    ++failures;
}

static void expect_menu_item(HMENU menu, UINT id, const char* text) {
    char got[128] = "";
    if (GetMenuStringA(menu, id, got, sizeof got, MF_BYCOMMAND) <= 0 || strcmp(got, text) != 0) {
        char msg[256];
        snprintf(msg, sizeof msg, "menu item %u reads \"%s\", expected \"%s\"", id, got, text);
        fail(msg, NULL);
    }
}

static void check_menu(HINSTANCE inst) {
    HMENU menu = LoadMenuA(inst, MAKEINTRESOURCEA(IDR_MAIN_MENU));
    if (!menu) {
        fail("LoadMenu 101", NULL);
        return;
    }
    const char* tops[] = {"File", "Buffer", "Chip"};
    if (GetMenuItemCount(menu) != 3) fail("menu 101 does not have three menus", NULL);
    for (int i = 0; i < 3; ++i) {
        char got[64] = "";
        GetMenuStringA(menu, i, got, sizeof got, MF_BYPOSITION);
        if (strcmp(got, tops[i]) != 0) fail("menu title", got);
    }
    expect_menu_item(menu, IDM_FILE_SETTINGS, "Settings");
    expect_menu_item(menu, IDM_FILE_EXIT, "Exit");
    expect_menu_item(menu, IDM_BUFFER_CLEAR, "Clear");
    expect_menu_item(menu, IDM_BUFFER_LOAD, "Load from file");
    expect_menu_item(menu, IDM_BUFFER_SAVE, "Save to file");
    expect_menu_item(menu, IDM_BUFFER_RELOAD, "Reload");
    expect_menu_item(menu, IDM_CHIP_IDENTIFY, "Identify");
    expect_menu_item(menu, IDM_CHIP_WRITE, "Write buffer into chip");
    expect_menu_item(menu, IDM_CHIP_READ, "Read chipcode into buffer");
    expect_menu_item(menu, IDM_CHIP_BLANK_CHECK, "Blank check");
    expect_menu_item(menu, IDM_CHIP_ERASE, "Erase");
    expect_menu_item(menu, IDM_CHIP_VERIFY, "Verify");
    /* The Buffer menu's items are greyed by id on tabs without a buffer. */
    if (EnableMenuItem(menu, IDM_BUFFER_RELOAD, MF_GRAYED) == -1)
        fail("EnableMenuItem cannot reach Buffer > Reload by id", NULL);
    DestroyMenu(menu);
}

static void expect_dib(HINSTANCE inst, int id, int width, int height, int bits) {
    HBITMAP bmp = (HBITMAP)LoadImageA(inst, MAKEINTRESOURCEA(id), IMAGE_BITMAP, 0, 0,
                                      LR_CREATEDIBSECTION);
    char msg[128];
    DIBSECTION ds;
    if (!bmp || GetObjectA(bmp, sizeof ds, &ds) != sizeof ds) {
        snprintf(msg, sizeof msg, "bitmap %d does not load", id);
        fail(msg, NULL);
        return;
    }
    if (ds.dsBm.bmWidth != width || ds.dsBm.bmHeight != height || ds.dsBmih.biBitCount != bits) {
        snprintf(msg, sizeof msg, "bitmap %d is %ldx%ld at %d bits, expected %dx%d at %d", id,
                 (long)ds.dsBm.bmWidth, (long)ds.dsBm.bmHeight, ds.dsBmih.biBitCount, width,
                 height, bits);
        fail(msg, NULL);
    }
    DeleteObject(bmp);
}

static void check_bitmaps(HINSTANCE inst) {
    expect_dib(inst, IDB_TOOLBAR, 240, 16, 8);
    expect_dib(inst, IDB_LOG_INFO, 16, 16, 32);
    expect_dib(inst, IDB_LOG_SUCCESS, 16, 16, 32);
    expect_dib(inst, IDB_LOG_WARNING, 16, 16, 32);
    expect_dib(inst, IDB_LOG_ERROR, 16, 16, 32);
    expect_dib(inst, IDB_CHECK_BOXES, 90, 15, 24);
    expect_dib(inst, IDB_DROP_ARROW, 16, 15, 24);

    /* The toolbar maps the strip's colours to the system's; that needs a palette. */
    HBITMAP mapped = CreateMappedBitmap(inst, IDB_TOOLBAR, 0, NULL, 0);
    if (!mapped) fail("CreateMappedBitmap of the toolbar strip", NULL);
    else DeleteObject(mapped);

    /* The log's image list: 16 x 16, 32-bit, the four icons in kind order. */
    HIMAGELIST list = ImageList_Create(16, 16, ILC_COLOR32, 4, 0);
    for (int id = IDB_LOG_INFO; id <= IDB_LOG_ERROR; ++id) {
        HBITMAP bmp = LoadBitmapA(inst, MAKEINTRESOURCEA(id));
        if (!bmp || ImageList_Add(list, bmp, NULL) != id - IDB_LOG_INFO) fail("ImageList_Add of a log icon", NULL);
        if (bmp) DeleteObject(bmp);
    }
    if (ImageList_GetImageCount(list) != 4) fail("log image list does not hold 4 icons", NULL);
    ImageList_Destroy(list);
}

static void check_icon(HINSTANCE inst) {
    const int sizes[] = {16, 32, 48};
    for (int i = 0; i < 3; ++i) {
        int s = sizes[i];
        HICON icon = (HICON)LoadImageA(inst, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, s, s, 0);
        ICONINFO info;
        BITMAP bm;
        char msg[96];
        if (!icon || !GetIconInfo(icon, &info) || !GetObjectA(info.hbmColor, sizeof bm, &bm) ||
            bm.bmWidth != s || bm.bmHeight != s) {
            snprintf(msg, sizeof msg, "icon 125 has no %d-pixel image", s);
            fail(msg, NULL);
            continue;
        }
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
}

static INT_PTR CALLBACK quiet_dialog(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    (void)dlg; (void)wp; (void)lp;
    return msg == WM_INITDIALOG;
}

static void expect_control(HWND dlg, int id, const char* cls, const char* text, LONG style_bits) {
    HWND ctl = GetDlgItem(dlg, id);
    char got_cls[64] = "", got_text[128] = "", msg[256];
    if (!ctl) {
        snprintf(msg, sizeof msg, "dialog control %d missing", id);
        fail(msg, NULL);
        return;
    }
    GetClassNameA(ctl, got_cls, sizeof got_cls);
    GetWindowTextA(ctl, got_text, sizeof got_text);
    LONG style = GetWindowLongA(ctl, GWL_STYLE);
    /* A dialog turns an edit's border into a sunken edge. */
    if (GetWindowLongA(ctl, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) style |= WS_BORDER;
    if (_stricmp(got_cls, cls) != 0 || (text && strcmp(got_text, text) != 0) ||
        (style & style_bits) != style_bits || !(style & WS_VISIBLE)) {
        snprintf(msg, sizeof msg, "dialog control %d: class %s, text \"%s\", style 0x%08lx", id,
                 got_cls, got_text, (unsigned long)style);
        fail(msg, NULL);
    }
}

/* Every label shows its whole text: measured with the label's own font and word wrap,
   the text needs no more room than the label has. */
static BOOL CALLBACK check_label(HWND child, LPARAM count) {
    char cls[32] = "", text[128] = "";
    GetClassNameA(child, cls, sizeof cls);
    GetWindowTextA(child, text, sizeof text);
    if (_stricmp(cls, "Static") != 0 || !text[0]) return TRUE;
    ++*(int*)count;
    RECT label, need;
    GetClientRect(child, &label);
    need = label;
    HDC dc = GetDC(child);
    HGDIOBJ old = SelectObject(dc, (HGDIOBJ)SendMessageA(child, WM_GETFONT, 0, 0));
    DrawTextA(dc, text, -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(child, dc);
    if (need.right > label.right || need.bottom > label.bottom) {
        char msg[256];
        snprintf(msg, sizeof msg, "\"%s\" needs %ldx%ld pixels, the label has %ldx%ld", text,
                 (long)need.right, (long)need.bottom, (long)label.right, (long)label.bottom);
        fail("a dialog label is cut off", msg);
    }
    return TRUE;
}

static void check_dialog(HINSTANCE inst) {
    HWND dlg = CreateDialogParamA(inst, MAKEINTRESOURCEA(IDD_SETTINGS), NULL, quiet_dialog, 0);
    if (!dlg) {
        fail("dialog 116 cannot be created", NULL);
        return;
    }
    char caption[64] = "";
    GetWindowTextA(dlg, caption, sizeof caption);
    if (strcmp(caption, "Settings") != 0) fail("dialog caption", caption);
    RECT r = {0, 0, 274, 185};
    MapDialogRect(dlg, &r);
    RECT client;
    GetClientRect(dlg, &client);
    if (client.right != r.right || client.bottom != r.bottom) fail("dialog 116 client size", NULL);

    /* (a combo box hands its scroll bar style on to its list) */
    /* the port box takes a typed port name as well */
    expect_control(dlg, IDC_PORT_LIST, "ComboBox", NULL, CBS_DROPDOWN | WS_TABSTOP);
    if ((GetWindowLongA(GetDlgItem(dlg, IDC_PORT_LIST), GWL_STYLE) & 3) != CBS_DROPDOWN)
        fail("dialog control 1001 has no edit field", NULL);
    expect_control(dlg, IDC_CONNECTION_TEST, "Button", "Connection Test", WS_TABSTOP);
    expect_control(dlg, IDC_HARDWARE_VERSION, "Edit", "", ES_READONLY | WS_BORDER | WS_TABSTOP);
    expect_control(dlg, IDC_FIRMWARE_VERSION, "Edit", "", ES_READONLY | WS_BORDER | WS_TABSTOP);
    expect_control(dlg, IDC_ISP_CLOCK_LIST, "ComboBox", NULL, CBS_DROPDOWNLIST | WS_TABSTOP);
    expect_control(dlg, IDC_PROGRAMMER_LIST, "ComboBox", NULL, CBS_DROPDOWNLIST | WS_TABSTOP);
    expect_control(dlg, IDC_SAVE, "Button", "Save", WS_TABSTOP);
    expect_control(dlg, IDCANCEL, "Button", "Cancel", WS_TABSTOP);

    int labels = 0;
    EnumChildWindows(dlg, check_label, (LPARAM)&labels);
    if (labels != 6) fail("dialog 116 does not have its six labels", NULL);
    DestroyWindow(dlg);
}

static void check_common_controls(void) {
    /* The manifest asks for common controls 6, which come from the side-by-side store
       rather than the system folder. */
    char path[MAX_PATH] = "";
    GetModuleFileNameA(GetModuleHandleA("comctl32.dll"), path, sizeof path);
    CharLowerA(path);
    if (!strstr(path, "common-controls_6595b64144ccf1df_6."))
        fail("the manifest does not select common controls 6", path);
}

int main(void) {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_TAB_CLASSES};
    InitCommonControlsEx(&icc);
    HINSTANCE inst = GetModuleHandleA(NULL);
    check_menu(inst);
    check_bitmaps(inst);
    check_icon(inst);
    check_dialog(inst);
    check_common_controls();
    if (!failures) printf("ok\n");
    return failures;
}
