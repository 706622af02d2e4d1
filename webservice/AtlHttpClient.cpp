// The HTTP client's two instantiations: plain TCP for the socket transport and TLS for the
// HTTPS request object.
#include "webservice/AtlHttpClient.h"

#include "webservice/TlsSocket.h"
#include "webservice/ZEvtSyncSocket2.h"

template class CAtlHttpClientT<ZEvtSyncSocket2>;
template class CAtlHttpClientT<CK47TlsSocket>;
