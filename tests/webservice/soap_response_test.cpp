// The SAX-driven response reader and the SOAP fault reader, fed by the platform SAX reader:
// the acceptance rules for the operations' answers and the fault-code table.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>

#include "tests/support/TestUtil.h"
#include "webservice/SoapFaultParser.h"
#include "webservice/VLTControl.h"

using Microsoft::WRL::ComPtr;

namespace {

class ResponseReader : public CSoapRootHandler {
  public:
    ResponseReader(const SoapFunctionMap* map, void* block) : map_(map), block_(block) {}
    const SoapFunctionMap* GetFunctionMap() override { return map_; }
    const SoapFunctionMap* GetHeaderMap() override { return VLTControlHeaderMap(map_); }
    const char* GetNamespaceUriA() override { return k47::vlt::kServiceNamespace; }
    const char16_t* GetNamespaceUri() override { return k47::vlt::kServiceNamespaceW; }
    void* GetParamBlock() override { return block_; }

    HRESULT Parse(const std::string& xml) {
        ComPtr<ISAXXMLReader> reader;
        HRESULT hr = K47CreateSaxReader(reader.GetAddressOf());
        if (FAILED(hr))
            return hr;
        hr = BeginParse(map_, block_);
        if (SUCCEEDED(hr))
            hr = reader->putContentHandler(this);
        ComPtr<IStream> stream;
        if (SUCCEEDED(hr))
            hr = CK47MemoryStream::Create(xml, stream.GetAddressOf());
        if (SUCCEEDED(hr)) {
            VARIANT input;
            VariantInit(&input);
            input.vt = VT_UNKNOWN;
            input.punkVal = stream.Get();
            hr = reader->parse(input);
        }
        UninitializeSOAP();
        return hr;
    }

  private:
    const SoapFunctionMap* map_;
    void* block_;
};

class SoapResponse : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }
};

std::string Envelope(const std::string& body, const std::string& header = "") {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
           "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">" +
           header + "<soap:Body>" + body + "</soap:Body></soap:Envelope>";
}

std::string SessionAnswer(const std::string& children) {
    return Envelope("<StartRemoteSessionPTZResponse xmlns=\"http://k47ptz.org/VLTControl/VLT\">" +
                    children + "</StartRemoteSessionPTZResponse>");
}

TEST_F(SoapResponse, StartRemoteSessionAnswers) {
    struct Case {
        const char* name;
        std::string xml;
        bool ok;
        unsigned ipv4;
        unsigned short port;
    } cases[] = {
        {"both values", SessionAnswer("<ipv4addr>3232235777</ipv4addr><port>5000</port>"), true,
         3232235777u, 5000},
        {"either order", SessionAnswer("<port>5000</port><ipv4addr>0</ipv4addr>"), true, 0, 5000},
        {"white space around values",
         SessionAnswer("<ipv4addr>\n 1 \t</ipv4addr>  <port> 65535 </port>\n"), true, 1, 65535},
        {"largest address", SessionAnswer("<ipv4addr>4294967295</ipv4addr><port>0</port>"), true,
         4294967295u, 0},
        {"port 70000", SessionAnswer("<ipv4addr>1</ipv4addr><port>70000</port>"), false, 0, 0},
        {"port 65536", SessionAnswer("<ipv4addr>1</ipv4addr><port>65536</port>"), false, 0, 0},
        {"address overflow", SessionAnswer("<ipv4addr>4294967296</ipv4addr><port>1</port>"), false,
         0, 0},
        {"negative", SessionAnswer("<ipv4addr>-1</ipv4addr><port>1</port>"), false, 0, 0},
        {"plus sign", SessionAnswer("<ipv4addr>+1</ipv4addr><port>1</port>"), false, 0, 0},
        {"not a number", SessionAnswer("<ipv4addr>1x</ipv4addr><port>1</port>"), false, 0, 0},
        {"empty value", SessionAnswer("<ipv4addr></ipv4addr><port>1</port>"), false, 0, 0},
        {"missing ipv4addr", SessionAnswer("<port>5000</port>"), false, 0, 0},
        {"unknown child", SessionAnswer("<ipv4addr>1</ipv4addr><port>2</port><extra>3</extra>"),
         false, 0, 0},
        {"repeated child", SessionAnswer("<ipv4addr>1</ipv4addr><port>2</port><port>3</port>"),
         false, 0, 0},
        {"case matters", SessionAnswer("<IPv4addr>1</IPv4addr><port>2</port>"), false, 0, 0},
        {"nil output", SessionAnswer("<ipv4addr xsi:nil=\"true\"/><port>2</port>"), false, 0, 0},
        {"nested element in a value", SessionAnswer("<ipv4addr><b>1</b></ipv4addr><port>2</port>"),
         false, 0, 0},
        {"children in another namespace still match",
         SessionAnswer("<x:ipv4addr xmlns:x=\"urn:other\">9</x:ipv4addr><port>8</port>"), true, 9,
         8},
        {"plain header entry skipped",
         Envelope("<StartRemoteSessionPTZResponse><ipv4addr>1</ipv4addr><port>2</port></"
                  "StartRemoteSessionPTZResponse>",
                  "<soap:Header><Trace xmlns=\"urn:t\"><Hop>a</Hop></Trace></soap:Header>"),
         true, 1, 2},
        {"mustUnderstand=\"0\" skipped",
         Envelope("<R><ipv4addr>1</ipv4addr><port>2</port></R>",
                  "<soap:Header><T xmlns=\"urn:t\" soap:mustUnderstand=\"0\"/></soap:Header>"),
         true, 1, 2},
        {"mustUnderstand=\"1\" fails",
         Envelope("<R><ipv4addr>1</ipv4addr><port>2</port></R>",
                  "<soap:Header><T xmlns=\"urn:t\" soap:mustUnderstand=\"1\"/></soap:Header>"),
         false, 0, 0},
        {"mustUnderstand=\"true\" fails",
         Envelope("<R><ipv4addr>1</ipv4addr><port>2</port></R>",
                  "<soap:Header><T xmlns=\"urn:t\" soap:mustUnderstand=\"true\"/></soap:Header>"),
         false, 0, 0},
        {"mustUnderstand without the envelope namespace is not the attribute",
         Envelope("<R><ipv4addr>1</ipv4addr><port>2</port></R>",
                  "<soap:Header><T xmlns=\"urn:t\" mustUnderstand=\"1\"/></soap:Header>"),
         true, 1, 2},
        {"empty body", Envelope(""), false, 0, 0},
        {"two bodies of answers", Envelope("<R><ipv4addr>1</ipv4addr><port>2</port></R><R/>"),
         false, 0, 0},
        {"wrong envelope namespace",
         "<soap:Envelope "
         "xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body><R><ipv4addr>1</"
         "ipv4addr>"
         "<port>2</port></R></soap:Body></soap:Envelope>",
         false, 0, 0},
        {"not an envelope", "<R><ipv4addr>1</ipv4addr><port>2</port></R>", false, 0, 0},
        {"not XML", "HTTP garbage", false, 0, 0},
        {"empty document", "", false, 0, 0},
    };
    for (const Case& c : cases) {
        VLTControl_StartRemoteSessionPTZ_params block{};
        ResponseReader reader(&kVLTControl_StartRemoteSessionPTZ_map, &block);
        HRESULT hr = reader.Parse(c.xml);
        EXPECT_EQ(c.ok, SUCCEEDED(hr)) << c.name << ": " << k47test::HrText(hr);
        if (c.ok) {
            EXPECT_EQ(c.ipv4, block.ipv4addr) << c.name;
            EXPECT_EQ(c.port, block.port) << c.name;
        }
    }
}

TEST_F(SoapResponse, CommandAndQueryAnswers) {
    VLTControl_PtzCommand_params command{};
    ResponseReader commandReader(&kVLTControl_PtzCommand_map, &command);
    EXPECT_HR_OK(commandReader.Parse(
        Envelope("<PtzCommandResponse xmlns=\"http://k47ptz.org/VLTControl/VLT\"/>")));
    EXPECT_FALSE(
        SUCCEEDED(commandReader.Parse(Envelope("<PtzCommandResponse><x/></PtzCommandResponse>"))));

    VLTControl_PtzQueryFunctions_params query{};
    ResponseReader queryReader(&kVLTControl_PtzQueryFunctions_map, &query);
    EXPECT_HR_OK(queryReader.Parse(Envelope(
        "<PtzQueryFunctionsResponse><presetCount>64</presetCount>text between<func>4095</func>"
        "</PtzQueryFunctionsResponse>")));
    EXPECT_EQ(4095u, query.func);
    EXPECT_EQ(64u, query.presetCount);
    EXPECT_FALSE(SUCCEEDED(queryReader.Parse(Envelope("<Q><func>1</func></Q>"))));
    std::string longValue(CSoapRootHandler::kMaxValueChars + 1, ' ');
    longValue.back() = '1';
    EXPECT_FALSE(SUCCEEDED(queryReader.Parse(
        Envelope("<Q><func>" + longValue + "</func><presetCount>1</presetCount></Q>"))));
}

TEST_F(SoapResponse, FaultsAndTheirCodes) {
    auto fault = [](const std::string& code, const std::string& extra = "") {
        return Envelope("<soap:Fault><faultcode>" + code +
                        "</faultcode><faultstring>went wrong</faultstring>" + extra +
                        "</soap:Fault>");
    };
    struct Case {
        const char* name;
        std::string xml;
        bool ok;
        SOAP_ERROR_CODE code;
    } cases[] = {
        {"Server", fault("soap:Server"), true, SOAP_E_SERVER},
        {"Client", fault("soap:Client"), true, SOAP_E_CLIENT},
        {"MustUnderstand", fault("soap:MustUnderstand"), true, SOAP_E_MUST_UNDERSTAND},
        {"VersionMismatch without prefix", fault("VersionMismatch"), true, SOAP_E_VERSION_MISMATCH},
        {"other code", fault("soap:Server.Busy"), true, SOAP_E_UNK},
        {"case matters", fault("soap:server"), true, SOAP_E_UNK},
        {"no faultstring", Envelope("<soap:Fault><faultcode>soap:Server</faultcode></soap:Fault>"),
         false, SOAP_E_UNK},
        {"no Fault", Envelope("<R/>"), false, SOAP_E_UNK},
        {"Fault outside the envelope namespace",
         Envelope("<Fault><faultcode>a</faultcode><faultstring>b</faultstring></Fault>"), false,
         SOAP_E_UNK},
        {"garbage", "<html>Internal Server Error</html>", false, SOAP_E_UNK},
        {"not XML", "oops", false, SOAP_E_UNK},
    };
    for (const Case& c : cases) {
        CSoapFault result;
        ComPtr<IStream> stream;
        ASSERT_HR_OK(CK47MemoryStream::Create(c.xml, stream.GetAddressOf()));
        HRESULT hr = K47ParseSoapFault(nullptr, stream.Get(), &result);
        EXPECT_EQ(c.ok, SUCCEEDED(hr)) << c.name;
        EXPECT_EQ(c.code, result.m_soapErrCode) << c.name;
    }

    CSoapFault result;
    ComPtr<IStream> stream;
    ASSERT_HR_OK(CK47MemoryStream::Create(
        fault(" soap:Server ",
              "<faultactor>http://srv/x</faultactor><detail><e:Why xmlns:e=\"urn:e\" n=\"1 > 0\">"
              "a &lt; b</e:Why></detail>"),
        stream.GetAddressOf()));
    ASSERT_HR_OK(K47ParseSoapFault(nullptr, stream.Get(), &result));
    EXPECT_EQ(SOAP_E_SERVER, result.m_soapErrCode);
    EXPECT_EQ(u"went wrong", result.m_strFaultString);
    EXPECT_EQ(u"http://srv/x", result.m_strFaultActor);
    EXPECT_EQ(u"<e:Why n=\"1 &gt; 0\">a &lt; b</e:Why>", result.m_strDetail);

    const char* text = nullptr;
    EXPECT_EQ(SOAP_E_SERVER, SoapFaultCodeFromText(u"Server", &text));
    EXPECT_STREQ("SOAP Server Application Faulted", text);
    EXPECT_EQ(SOAP_E_UNK, SoapFaultCodeFromText(u"Nope", &text));
    EXPECT_EQ(nullptr, text);
}

}  // namespace
