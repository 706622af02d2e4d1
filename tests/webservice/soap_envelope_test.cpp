// The request envelope byte for byte (start tag, wrapper, children in table order, escaping of
// string values, nil for null strings) for the four operations' descriptor tables.
#include <gtest/gtest.h>

#include <string>

#include "k47/strings.h"
#include "webservice/VLTControl.h"

namespace {

// Writes envelopes for one operation's table and block, without a transport.
class EnvelopeWriter : public CSoapRootHandler {
  public:
    EnvelopeWriter(const SoapFunctionMap* map, void* block) : map_(map), block_(block) {}
    const SoapFunctionMap* GetFunctionMap() override { return map_; }
    const SoapFunctionMap* GetHeaderMap() override { return VLTControlHeaderMap(map_); }
    const char* GetNamespaceUriA() override { return k47::vlt::kServiceNamespace; }
    const char16_t* GetNamespaceUri() override { return k47::vlt::kServiceNamespaceW; }
    void* GetParamBlock() override { return block_; }

    std::string Write() {
        CWriteStreamOnCString stream;
        EXPECT_EQ(S_OK, GenerateRequest(stream));
        return stream.Text();
    }

  private:
    const SoapFunctionMap* map_;
    void* block_;
};

const std::string kStart =
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\"><soap:Body>";
const std::string kEnd = "</soap:Body></soap:Envelope>";

TEST(SoapEnvelope, FourOperationsByteForByte) {
    ASSERT_EQ(227u + 11u, kStart.size());
    k47::UniqueBstr cam = k47::UniqueBstr::FromUtf8("Cam1");

    VLTControl_PtzCommand_params command{cam.get(), 5, 0};
    EXPECT_EQ(
        kStart +
            "<PtzCommand xmlns=\"http://k47ptz.org/VLTControl/VLT\"><name>Cam1</name><cmd>5</cmd>"
            "<arg>0</arg></PtzCommand>" +
            kEnd,
        EnvelopeWriter(&kVLTControl_PtzCommand_map, &command).Write());

    VLTControl_PtzMenuCommand_params menu{cam.get(), 3};
    EXPECT_EQ(kStart +
                  "<PtzMenuCommand "
                  "xmlns=\"http://k47ptz.org/VLTControl/VLT\"><name>Cam1</name><cmd>3</cmd>"
                  "</PtzMenuCommand>" +
                  kEnd,
              EnvelopeWriter(&kVLTControl_PtzMenuCommand_map, &menu).Write());

    VLTControl_PtzCommand_params negative{cam.get(), -2147483647 - 1, 2147483647};
    EXPECT_NE(std::string::npos, EnvelopeWriter(&kVLTControl_PtzCommand_map, &negative)
                                     .Write()
                                     .find("<cmd>-2147483648</cmd><arg>2147483647</arg>"));

    // Outputs are never written: only the name goes out.
    VLTControl_StartRemoteSessionPTZ_params session{cam.get(), 77, 88};
    EXPECT_EQ(
        kStart +
            "<StartRemoteSessionPTZ xmlns=\"http://k47ptz.org/VLTControl/VLT\"><name>Cam1</name>"
            "</StartRemoteSessionPTZ>" +
            kEnd,
        EnvelopeWriter(&kVLTControl_StartRemoteSessionPTZ_map, &session).Write());
    VLTControl_PtzQueryFunctions_params query{nullptr, 1, 2};
    EXPECT_EQ(
        kStart +
            "<PtzQueryFunctions xmlns=\"http://k47ptz.org/VLTControl/VLT\"><name xsi:nil=\"1\"/>"
            "</PtzQueryFunctions>" +
            kEnd,
        EnvelopeWriter(&kVLTControl_PtzQueryFunctions_map, &query).Write());
}

TEST(SoapEnvelope, StringValuesAreEscapedToPureAscii) {
    struct Case {
        const char* name;
        std::u16string value;
        const char* written;
    } cases[] = {
        {"markup", u"A&B<C>D", "A&amp;B&lt;C&gt;D"},
        {"quotes stay", u"'\"", "'\""},
        {"non-ASCII letter", u"Kamera \u00e9", "Kamera &#x00E9;"},
        {"control character", u"a\tb", "a&#x0009;b"},
        {"DEL", u"\u007f", "&#x007F;"},
        {"surrogate pair", u"\U0001F600!", "&#x01F600;!"},
        {"highest code point", u"\U0010FFFF", "&#x10FFFF;"},
        {"lone high surrogate", std::u16string(u"\xD83D") + u"x", "&#xD83D;x"},
        {"lone low surrogate", std::u16string(u"\xDE00"), "&#xDE00;"},
        {"high surrogate last", std::u16string(u"z\xD83D"), "z&#xD83D;"},
        {"stops at the first NUL", std::u16string(u"ab\0cd", 5), "ab"},
        {"empty", u"", ""},
    };
    for (const Case& c : cases) {
        k47::UniqueBstr value = k47::UniqueBstr::FromUtf16(c.value);
        VLTControl_PtzMenuCommand_params menu{value.get(), 1};
        std::string envelope = EnvelopeWriter(&kVLTControl_PtzMenuCommand_map, &menu).Write();
        EXPECT_NE(std::string::npos,
                  envelope.find(std::string("<name>") + c.written + "</name><cmd>1</cmd>"))
            << c.name << ": " << envelope;
        for (char ch : envelope)
            EXPECT_TRUE(ch >= 0x20 && ch <= 0x7E) << c.name << ": not pure ASCII";
    }
}

}  // namespace
