#include "app/window_templates.h"

#include <iterator>

namespace {
#include "resources/templates.inc"
}  // namespace

const DialogTemplate& MainWindowTemplate()
{
    return kMainWindowTemplate;
}

const DialogTemplate& ProgressWindowTemplate()
{
    return kProgressWindowTemplate;
}
