// CamRelay: one main window; the process lives as long as it does.
#include "app/CRelayApp.h"
#include "relay/StatusLog.h"

int main(int argc, char** argv)
{
    StatusLog::ReserveStandardStreams();  // before Qt opens anything: see the function
    CRelayApp app(argc, argv);
    return app.Run();
}
