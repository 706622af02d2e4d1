// The client error state of a control-service call: 0 at the start of every call, set by the
// proxy and its transport to say where the call failed.
#pragma once

enum SOAPCLIENT_ERROR : unsigned {
    SOAPCLIENT_SUCCESS = 0,           // success
    SOAPCLIENT_INITIALIZE_ERROR = 1,  // creating or attaching the XML reader failed
    SOAPCLIENT_OUTOFMEMORY = 2,       // out of memory preparing the call
    SOAPCLIENT_GENERATE_ERROR = 3,    // writing the envelope failed
    SOAPCLIENT_CONNECT_ERROR = 4,     // connecting failed (HTTPS transport)
    SOAPCLIENT_SEND_ERROR = 5,        // sending failed, no usable response, or a refused status
    SOAPCLIENT_SERVER_ERROR = 6,  // an accepted status other than 200 and 202 (socket transport)
    SOAPCLIENT_SOAPFAULT = 7,     // status 500: a SOAP fault
    SOAPCLIENT_PARSEFAULT_ERROR = 8,  // the fault could not be read
    SOAPCLIENT_READ_ERROR = 9,        // the response body could not be read
    SOAPCLIENT_PARSE_ERROR = 10,      // the response could not be read as the operation's answer
};
