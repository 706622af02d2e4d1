// The request text of the HTTP client.
#include "webservice/HttpRequestOptions.h"

namespace k47::http {

std::string BuildRequestText(const CUrl& url, const HttpRequestOptions& options) {
    std::string text;
    text.reserve(256);
    text += options.method != nullptr ? options.method : "GET";
    text += ' ';
    text += url.GetUrlPath().empty() ? std::string("/") : url.GetUrlPath();
    text += url.GetExtraInfo();
    text += " HTTP/1.1\r\n";
    if (options.dataLength != 0) {
        text += "Content-Length: ";
        text += std::to_string(options.dataLength);
        text += "\r\n";
    }
    if (options.dataType != nullptr && options.dataType[0] != '\0') {
        text += "Content-Type: ";
        text += options.dataType;
        text += "\r\n";
    }
    if (options.extraHeaders != nullptr)
        text += options.extraHeaders;
    text += "Host: ";
    text += url.GetHostName();
    text += "\r\n";
    text += "User-Agent: Microsoft-ATL-Native/10.00\r\n";
    text += "\r\n";
    return text;
}

}  // namespace k47::http
