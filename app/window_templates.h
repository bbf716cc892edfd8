// The templates of the program's two windows and the names of their controls; the rows live in
// resources/templates.inc.
#pragma once

#include "app/dialog_builder.h"

// Identifiers of the controls the program addresses, in both windows. Code and tests use these
// names only; the numbers are those of the templates.
enum ControlId : int {
    // Main window.
    kIdcClose = 1,           // default push button "CLOSE"
    kIdcImageButton = 1000,  // "Select Image" / "Save Image"
    kIdcIpAddress = 1001,    // the switcher's address
    kIdcHd1080 = 1002,       // Size radios, in the order the jobs test them
    kIdcHd720 = 1003,
    kIdcSd480 = 1004,
    kIdcSd576 = 1005,
    kIdcTransferButton = 1006,  // "Send" / "Get"
    kIdcPreviewFrame = 1007,
    kIdcWidthBox = 1008,  // read-only Width and Height boxes
    kIdcHeightBox = 1009,
    kIdcFull = 1012,  // Aspect radios
    kIdcKeep = 1013,
    kIdcBlankColor = 1014,  // hidden and disabled; nothing shows it
    kIdcModeButton = 1015,  // "To QX700" / "From QX700"
    kIdcSizeGroup = 1016,
    kIdcAspectGroup = 1017,
    kIdcFmem1 = 1019,  // Target radios
    kIdcFmem2 = 1020,
    kIdcRgba = 1021,  // push-like check boxes
    kIdcDisplayAlpha = 1022,

    // Progress window.
    kIdcProgressOk = 1,      // hidden default button: the window's end
    kIdcProgressCancel = 2,  // hidden and disabled
    kIdcAnimationIcon = 1011,
    kIdcProgressText = 1018,
};

const DialogTemplate& MainWindowTemplate();
const DialogTemplate& ProgressWindowTemplate();
