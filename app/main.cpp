// CamRelay: one main window; the process lives as long as it does.
#include "app/CRelayApp.h"

int main(int argc, char** argv)
{
    CRelayApp app(argc, argv);
    return app.Run();
}
