// Construction and defaults of the application object.
#include "app/VelmoraServiceApp.h"

#include "platform/DefaultFolders.h"

CVelmoraServiceApp::CVelmoraServiceApp(CVelmoraService* service)
    : CWinApp(nullptr), m_pService(service), m_strPackagesPath(plat::DefaultPackagesFolder()) {}

CVelmoraServiceApp::~CVelmoraServiceApp() = default;

CVelmoraServiceApp* GetVelmoraApp() { return dynamic_cast<CVelmoraServiceApp*>(AfxGetApp()); }
