// The proxy's two instantiations: over the system's own socket transport and over the HTTPS
// request object.
#include "webservice/VLTControl.h"

#include "webservice/SoapMSXMLInetClient.h"
#include "webservice/SoapSocketClient.h"
#include "webservice/ZEvtSyncSocket2.h"

template class CK47SoapSocketClientT<ZEvtSyncSocket2>;
template class CVLTControlT<CK47SoapSocketClientT<ZEvtSyncSocket2>>;
template class CVLTControlT<CSoapMSXMLInetClientNoCertError>;
