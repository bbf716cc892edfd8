// The templates of the program's two windows; their rows live in resources/templates.inc.
#pragma once

#include "app/dialog_builder.h"

extern const DialogTemplate& MainWindowTemplate();
extern const DialogTemplate& ProgressWindowTemplate();
