// TavoTesselUpdate: started by the client without arguments; reads no
// command line and always ends with exit code 0.
#include <windows.h>

#include "deployment.h"
#include "updater/updater_app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return Updater::RunUpdater(TAVO_UPDATE_MANIFEST_URL_W);
}
