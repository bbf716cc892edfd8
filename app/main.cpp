#include "app/image_tool_app.h"

int main(int argc, char** argv)
{
    CImageToolApp app(argc, argv);
    return app.InitInstance();
}
