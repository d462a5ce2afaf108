// The folder dialog's layout in dialog units, for the resource script and
// for the tests that check its texts fit (a dialog unit across is a quarter
// of the font's average character).
#pragma once

#define DIALOG_FOLDER 100 /* the dialog's resource */
#define DIALOG_PROMPT 101 /* its controls */
#define DIALOG_EDIT 102
#define DIALOG_BROWSE 103

#define DIALOG_MARGIN 7
#define DIALOG_GAP 4
#define DIALOG_BUTTON_WIDTH 64
#define DIALOG_BUTTON_HEIGHT 14
#define DIALOG_LINE_WIDTH 266
#define DIALOG_WIDTH (DIALOG_LINE_WIDTH + 2 * DIALOG_MARGIN)
#define DIALOG_BUTTONS_TOP 45
#define DIALOG_HEIGHT (DIALOG_BUTTONS_TOP + DIALOG_BUTTON_HEIGHT + DIALOG_MARGIN)
#define DIALOG_RIGHT_BUTTON (DIALOG_WIDTH - DIALOG_MARGIN - DIALOG_BUTTON_WIDTH)
