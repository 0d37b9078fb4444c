/* wine_mac_probe.c - looks at the open MacDialog from the outside, under Wine, for
   wine_dpi.sh. Not part of the product.

     wine_mac_probe field      the "New:" field (control 204) and its text: one line
                               "dpi=D room=R text=T first=F widest=C:W"
                               R   pixels inside the field for text (client width less
                                   the edit margins)
                               T   the field's text
                               F   index of the first character shown at the left edge
                               C:W the hexadecimal digit whose six copies are widest in
                                   the dialog font, and their width in pixels
                               Exit code 0 when six of any hexadecimal digit fit R and
                               the text shows from its first character, 1 when not, 2
                               when there is no dialog.

   GDI handles belong to their process, so the probe makes the dialog font itself the
   way the dialog manager makes it from the template: its point size at the screen's
   dots per inch. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static const int DIALOG_POINTS = 8;
static const char DIALOG_FACE[] = "MS Sans Serif";
static const int FIELD_ID = 204;

/* The widest run of six copies of one hexadecimal digit in the dialog font. */
static int WidestSix(int dpi, char* digit) {
    HDC dc = GetDC(NULL);
    HFONT font = CreateFontA(-MulDiv(DIALOG_POINTS, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                             FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, DIALOG_FACE);
    HGDIOBJ old = SelectObject(dc, font);
    const char* digits = "0123456789ABCDEF";
    int widest = 0;
    for (const char* d = digits; *d; d++) {
        char six[7];
        SIZE size;
        memset(six, *d, 6);
        six[6] = 0;
        if (GetTextExtentPoint32A(dc, six, 6, &size) && size.cx > widest) {
            widest = size.cx;
            *digit = *d;
        }
    }
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(NULL, dc);
    return widest;
}

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "field") != 0) {
        fprintf(stderr, "usage: wine_mac_probe field\n");
        return 1;
    }
    HWND dialog = FindWindowA(NULL, "MAC Address");
    HWND field = dialog ? GetDlgItem(dialog, FIELD_ID) : NULL;
    if (field == NULL) return 2;
    HDC screen = GetDC(NULL);
    int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(NULL, screen);

    RECT client;
    GetClientRect(field, &client);
    DWORD margins = (DWORD)SendMessageA(field, EM_GETMARGINS, 0, 0);
    int room = (client.right - client.left) - LOWORD(margins) - HIWORD(margins);
    char text[16] = "";
    SendMessageA(field, WM_GETTEXT, sizeof text, (LPARAM)text);  /* the edit's own text */
    /* The character at the left edge of the text, one pixel in from the margin. */
    LRESULT at = SendMessageA(field, EM_CHARFROMPOS, 0,
                              MAKELPARAM(LOWORD(margins) + 1, (client.bottom - client.top) / 2));
    int first = LOWORD(at);
    char digit = '?';
    int widest = WidestSix(dpi, &digit);
    printf("dpi=%d room=%d text=%s first=%d widest=%c:%d\n", dpi, room, text, first, digit,
           widest);
    return widest > 0 && widest <= room && first == 0 ? 0 : 1;
}
