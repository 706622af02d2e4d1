// ONVIF SOAP 1.2 messages: requests as clients send them, hostile envelopes, UsernameToken
// checks (digest, text, clock window, replay) and the bytes of responses and faults.
#include <gtest/gtest.h>
#include <k47/xmldoc.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "host/onvif/OnvifSoap.h"

using namespace k47host::onvif;
using std::chrono::seconds;
using std::chrono::system_clock;

namespace {

constexpr char kWsse[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
constexpr char kWsu[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";
constexpr char kDigestType[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0"
    "#PasswordDigest";

// A nonce, a Created and the digest of password "secret" over them, the digest computed apart
// from this code with `openssl dgst -sha1 -binary | base64`.
constexpr char kNonce64[] = "LKqI6G/AikKCQrN0zqZFlg==";
constexpr char kCreated[] = "2026-12-07T01:20:00.000Z";
constexpr char kSecretDigest[] = "0L/GC5HzxfGUzDiTNZI2+mqOqYM=";

std::string Envelope(const std::string& body, const std::string& header = {}) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
           "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">" +
           (header.empty() ? std::string() : "<s:Header>" + header + "</s:Header>") + "<s:Body>" +
           body + "</s:Body></s:Envelope>";
}

// A security header laid out as common clients write it (prefixed, mustUnderstand).
std::string Security(const std::string& password, const std::string& type = kDigestType,
                     const std::string& nonce = kNonce64, const std::string& created = kCreated) {
    return std::string("<wsse:Security s:mustUnderstand=\"1\" xmlns:wsse=\"") + kWsse +
           "\" xmlns:wsu=\"" + kWsu +
           "\"><wsse:UsernameToken><wsse:Username>admin</wsse:Username>" + "<wsse:Password" +
           (type.empty() ? "" : " Type=\"" + type + "\"") + ">" + password +
           "</wsse:Password><wsse:Nonce>" + nonce + "</wsse:Nonce><wsu:Created>" + created +
           "</wsu:Created></wsse:UsernameToken></wsse:Security>";
}

const char kContinuousMove[] =
    "<ContinuousMove xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\">"
    "<ProfileToken>Profile_1</ProfileToken><Velocity>"
    "<PanTilt x=\"0.5\" y=\"-0.25\" space=\"http://www.onvif.org/ver10/tptz/PanTiltSpaces/"
    "VelocityGenericSpace\" xmlns=\"http://www.onvif.org/ver10/schema\"/>"
    "<Zoom x=\"0\" xmlns=\"http://www.onvif.org/ver10/schema\"/></Velocity>"
    "<Timeout>PT2S</Timeout></ContinuousMove>";

OnvifFault Refusal(const std::string& body) {
    OnvifFault fault;
    EXPECT_FALSE(ParseOnvifRequest(body, &fault)) << body.substr(0, 200);
    EXPECT_FALSE(fault.reason.empty());
    return fault;
}

system_clock::time_point CreatedTime() {
    return *ParseXsDateTime(kCreated);
}

UsernameToken DigestToken() {
    OnvifFault fault;
    auto request = ParseOnvifRequest(Envelope(kContinuousMove, Security(kSecretDigest)), &fault);
    EXPECT_TRUE(request) << fault.reason;
    return request && request->token ? *request->token : UsernameToken{};
}

const std::vector<OnvifUser> kUsers{{"operator", "other"}, {"admin", "secret"}};

}  // namespace

TEST(OnvifRequest, ReadsRequestsAsClientsSendThem) {
    OnvifFault fault;
    // Discovery tools ask for the clock first, without any header.
    auto clock = ParseOnvifRequest(
        Envelope("<GetSystemDateAndTime xmlns=\"http://www.onvif.org/ver10/device/wsdl\"/>"),
        &fault);
    ASSERT_TRUE(clock) << fault.reason;
    EXPECT_EQ(clock->operation, "GetSystemDateAndTime");
    EXPECT_EQ(clock->service, kDeviceNamespace);
    EXPECT_FALSE(clock->token);
    EXPECT_TRUE(clock->Values().empty());

    auto move = ParseOnvifRequest(Envelope(kContinuousMove, Security(kSecretDigest)), &fault);
    ASSERT_TRUE(move) << fault.reason;
    EXPECT_EQ(move->operation, "ContinuousMove");
    EXPECT_EQ(move->service, kPtzNamespace);
    EXPECT_EQ(move->Text("ProfileToken"), "Profile_1");
    EXPECT_EQ(move->Text("Velocity/PanTilt@x"), "0.5");
    EXPECT_EQ(move->Text("Velocity/PanTilt@y"), "-0.25");
    EXPECT_EQ(move->Text("Velocity/Zoom@x"), "0");
    EXPECT_EQ(move->Text("Timeout"), "PT2S");
    EXPECT_FALSE(move->Text("Velocity"));  // not a leaf
    EXPECT_FALSE(move->Text("Velocity/Zoom@y"));
    ASSERT_TRUE(move->token);
    EXPECT_EQ(move->token->username, "admin");
    EXPECT_EQ(move->token->type, PasswordType::kDigest);
    EXPECT_EQ(move->token->password, kSecretDigest);
    EXPECT_EQ(move->token->created, kCreated);
    const std::string nonce("\x2c\xaa\x88\xe8\x6f\xc0\x8a\x42\x82\x42\xb3\x74\xce\xa6\x45\x96", 16);
    EXPECT_EQ(move->token->nonce, nonce);

    // Prefixed operation, a blank-padded argument, a repeated element (the first counts) and a
    // password without Type, which means plain text.
    auto profiles = ParseOnvifRequest(
        Envelope("<trt:GetProfile xmlns:trt=\"http://www.onvif.org/ver10/media/wsdl\">"
                 "<trt:ProfileToken>\n  main &amp; sub  \n</trt:ProfileToken>"
                 "<trt:ProfileToken>second</trt:ProfileToken></trt:GetProfile>",
                 Security("secret", "")),
        &fault);
    ASSERT_TRUE(profiles) << fault.reason;
    EXPECT_EQ(profiles->service, kMediaNamespace);
    EXPECT_EQ(profiles->Text("ProfileToken"), "main & sub");
    ASSERT_TRUE(profiles->token);
    EXPECT_EQ(profiles->token->type, PasswordType::kText);

    auto odd = ParseOnvifRequest(
        Envelope(kContinuousMove, Security("x", "urn:example#PasswordHash")), &fault);
    ASSERT_TRUE(odd) << fault.reason;
    EXPECT_EQ(odd->token->type, PasswordType::kUnknown);
}

TEST(OnvifRequest, RefusesHostileAndBrokenEnvelopes) {
    // A DTD could declare entities (and expand them a billion times): refused outright.
    OnvifFault fault = Refusal(
        "<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY a \"aaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>"
        "<GetProfiles xmlns=\"http://www.onvif.org/ver10/media/wsdl\">&b;</GetProfiles>"
        "</s:Body></s:Envelope>");
    EXPECT_EQ(fault.code, "env:Sender");
    EXPECT_EQ(fault.subcode, "ter:WellFormed");
    Refusal("<!DOCTYPE s SYSTEM \"file:///etc/passwd\">" + Envelope(kContinuousMove));

    // SOAP 1.1 gets its own fault code, without subcode.
    fault = Refusal(
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
        "<GetProfiles xmlns=\"http://www.onvif.org/ver10/media/wsdl\"/></soap:Body>"
        "</soap:Envelope>");
    EXPECT_EQ(fault.code, "env:VersionMismatch");
    EXPECT_EQ(fault.subcode, "");

    const std::string s12 = "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">";
    EXPECT_EQ(Refusal(s12 + "<s:Header/></s:Envelope>").subcode, "ter:TagMismatch");
    EXPECT_EQ(Refusal(s12 + "<s:Body/></s:Envelope>").subcode, "ter:TagMismatch");
    EXPECT_EQ(Refusal(s12 + "<s:Body> <!-- none --> </s:Body></s:Envelope>").subcode,
              "ter:TagMismatch");
    Refusal(s12 + "<s:Body>" + kContinuousMove + "</s:Body><s:Header/></s:Envelope>");
    Refusal(s12 + "<s:Body>" + kContinuousMove + "</s:Body><s:Body/></s:Envelope>");
    Refusal(Envelope("<GetProfiles/>"));  // no namespace
    Refusal("<Envelope><Body/></Envelope>");
    Refusal(Envelope(kContinuousMove).substr(0, 120));
    Refusal("");

    // A nonce that is not base64 is a broken token, not an anonymous request.
    fault = Refusal(Envelope(kContinuousMove, Security(kSecretDigest, kDigestType, "@@notbase64")));
    EXPECT_EQ(fault.subcode, "ter:NotAuthorized");
}

TEST(OnvifRequest, BoundsDepthAndSize) {
    auto nested = [](int depth) {
        std::string open, close;
        for (int i = 0; i < depth; ++i) {
            open += "<n>";
            close = "</n>" + close;
        }
        return Envelope("<GetProfiles xmlns=\"http://www.onvif.org/ver10/media/wsdl\">" + open +
                        "v" + close + "</GetProfiles>");
    };
    OnvifFault fault;
    auto deepest = ParseOnvifRequest(nested(kMaxArgumentDepth), &fault);
    ASSERT_TRUE(deepest) << fault.reason;
    std::string path = "n";
    for (int i = 1; i < kMaxArgumentDepth; ++i)
        path += "/n";
    EXPECT_EQ(deepest->Text(path), "v");
    EXPECT_EQ(Refusal(nested(kMaxArgumentDepth + 1)).subcode, "ter:InvalidArgVal");
    Refusal(nested(5000));  // beyond the XML reader's own depth limit too

    // Exactly the cap is read; one byte more is not.
    std::string request = Envelope(kContinuousMove);
    request += std::string(kMaxOnvifRequestBytes - request.size(), ' ');
    ASSERT_TRUE(ParseOnvifRequest(request, &fault)) << fault.reason;
    EXPECT_EQ(Refusal(request + " ").subcode, "ter:WellFormed");
    Refusal(std::string(10 * kMaxOnvifRequestBytes, '<'));
}

TEST(OnvifUsernameToken, DigestMatchesTheIndependentlyComputedValue) {
    std::string nonce("\x2c\xaa\x88\xe8\x6f\xc0\x8a\x42\x82\x42\xb3\x74\xce\xa6\x45\x96", 16);
    EXPECT_EQ(PasswordDigest(nonce, kCreated, "secret"), kSecretDigest);
    // Nonce bytes, not their base64, go into the hash.
    EXPECT_NE(PasswordDigest(kNonce64, kCreated, "secret"), kSecretDigest);
}

TEST(OnvifUsernameToken, AcceptsOnlyTheRightPasswordOnce) {
    const UsernameToken token = DigestToken();
    const system_clock::time_point now = CreatedTime() + seconds(10);
    std::string why;

    NonceCache nonces;
    EXPECT_TRUE(CheckUsernameToken(token, kUsers, now, &nonces, &why)) << why;
    EXPECT_FALSE(CheckUsernameToken(token, kUsers, now + seconds(1), &nonces, &why));
    EXPECT_NE(why.find("used before"), std::string::npos) << why;

    // A wrong digest is refused and does not spend the nonce.
    NonceCache fresh;
    UsernameToken wrong = token;
    wrong.password = "42Lo0FCPH9ZRO4mDQTbYN5smNl4=";  // digest of "secreT"
    EXPECT_FALSE(CheckUsernameToken(wrong, kUsers, now, &fresh, &why));
    EXPECT_EQ(fresh.Size(), 0u);
    EXPECT_TRUE(CheckUsernameToken(token, kUsers, now, &fresh, &why)) << why;

    UsernameToken stranger = token;
    stranger.username = "guest";
    EXPECT_FALSE(CheckUsernameToken(stranger, kUsers, now, nullptr, &why));
    EXPECT_NE(why.find("no such user"), std::string::npos) << why;
    // Unknown names are checked against a password of their own; it opens nothing, and no
    // users at all let nobody in.
    for (const char* guess : {"", "\x01no user has this password"}) {
        UsernameToken nobody;
        nobody.username = "";
        nobody.password = guess;
        EXPECT_FALSE(CheckUsernameToken(nobody, kUsers, now, nullptr, &why)) << guess;
        EXPECT_FALSE(CheckUsernameToken(nobody, {}, now, nullptr, &why)) << guess;
    }
    UsernameToken otherUser = token;
    otherUser.username = "operator";
    EXPECT_FALSE(CheckUsernameToken(otherUser, kUsers, now, nullptr, &why));
    UsernameToken noNonce = token;
    noNonce.nonce.clear();
    EXPECT_FALSE(CheckUsernameToken(noNonce, kUsers, now, nullptr, &why));
    UsernameToken noCreated = token;
    noCreated.created.clear();
    EXPECT_FALSE(CheckUsernameToken(noCreated, kUsers, now, nullptr, &why));
    UsernameToken unknownType = token;
    unknownType.type = PasswordType::kUnknown;
    EXPECT_FALSE(CheckUsernameToken(unknownType, kUsers, now, nullptr, &why));

    UsernameToken text;
    text.username = "admin";
    text.password = "secret";
    EXPECT_TRUE(CheckUsernameToken(text, kUsers, now, nullptr, &why)) << why;
    for (const char* guess : {"secreT", "secre", "secret ", "", "other"}) {
        text.password = guess;
        EXPECT_FALSE(CheckUsernameToken(text, kUsers, now, nullptr, &why)) << guess;
    }
    // A plain-text password sent as a digest does not pass.
    UsernameToken textAsDigest = token;
    textAsDigest.password = "secret";
    EXPECT_FALSE(CheckUsernameToken(textAsDigest, kUsers, now, nullptr, &why));
}

TEST(OnvifUsernameToken, RefusesCreatedOutsideFiveMinutes) {
    const UsernameToken token = DigestToken();
    const system_clock::time_point created = CreatedTime();
    std::string why;
    struct Case {
        system_clock::time_point now;
        bool accepted;
    } cases[] = {
        {created + seconds(300), true},  {created + seconds(301), false},
        {created - seconds(300), true},  // the client's clock ahead of ours
        {created - seconds(301), false}, {created + std::chrono::hours(24), false},
    };
    for (const Case& c : cases) {
        NonceCache nonces;
        EXPECT_EQ(CheckUsernameToken(token, kUsers, c.now, &nonces, &why), c.accepted)
            << (c.now - created).count() << " " << why;
    }
    UsernameToken local = token;
    local.created = "2026-12-07T01:20:00";  // no zone
    EXPECT_FALSE(CheckUsernameToken(local, kUsers, created, nullptr, &why));
}

TEST(OnvifNonceCache, EachNonceIsTakenOnceUnderContention) {
    // Every thread offers the same nonces in the same order, so they collide on each one.
    constexpr int kNonces = 20000;
    const system_clock::time_point now = CreatedTime();
    NonceCache nonces(kNonces);
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            int mine = 0;
            for (int i = 0; i < kNonces; ++i)
                mine += nonces.Remember("nonce-" + std::to_string(i), now) ? 1 : 0;
            taken.fetch_add(mine);
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(taken.load(), kNonces);
    EXPECT_EQ(nonces.Size(), static_cast<size_t>(kNonces));
}

TEST(OnvifNonceCache, StaysBoundedAndForgetsExpiredNonces) {
    const system_clock::time_point t0 = CreatedTime();
    NonceCache small(4);
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(small.Remember("n" + std::to_string(i), t0));
    EXPECT_EQ(small.Size(), 4u);
    EXPECT_FALSE(small.Remember("n9", t0));  // the newest are kept
    EXPECT_TRUE(small.Remember("n0", t0));   // the oldest were pushed out

    NonceCache window;
    EXPECT_TRUE(window.Remember("a", t0));
    EXPECT_FALSE(window.Remember("a", t0 + 2 * kMaxClockSkew));
    EXPECT_TRUE(window.Remember("b", t0 + 2 * kMaxClockSkew + seconds(1)));
    EXPECT_EQ(window.Size(), 1u);  // "a" expired and was dropped
}

TEST(OnvifDateTime, ReadsZonesAndFractions) {
    auto utc = ParseXsDateTime("2026-12-07T01:20:00Z");
    ASSERT_TRUE(utc);
    EXPECT_EQ(system_clock::to_time_t(*utc), 1796606400);
    EXPECT_EQ(ParseXsDateTime("2026-12-07T02:20:00+01:00"), utc);
    EXPECT_EQ(ParseXsDateTime("2026-12-06T23:50:00-01:30"), utc);
    EXPECT_EQ(*ParseXsDateTime("2026-12-07T01:20:00.25Z") - *utc, std::chrono::milliseconds(250));
    for (const char* bad : {"2026-12-07T01:20:00", "2026-12-07 01:20:00Z", "2026-13-07T01:20:00Z",
                            "2026-12-07T01:20:00.Z", "2026-12-07T01:20:00Zjunk", "", "yesterday",
                            "2026-12-07T01:20:00+1:00"})
        EXPECT_FALSE(ParseXsDateTime(bad)) << bad;
}

TEST(OnvifWriter, FaultHasTheSoap12StructureAndEscapedText) {
    const std::string xml = BuildOnvifFault(
        {"env:Sender", "ter:NotAuthorized", "bad <token> & \"quotes\" 'here'\r\n\x01"});
    EXPECT_EQ(xml.find("<token>"), std::string::npos);
    k47::XmlError error;
    k47::XmlDocument doc = k47::XmlDocument::LoadString(xml, &error);
    ASSERT_TRUE(doc) << error.message << "\n" << xml;
    doc.SetSelectionNamespace("env", kSoap12Namespace);
    auto text = [&](const char* xpath) {
        xmlNode* node = doc.SelectSingleNode(doc.DocumentElement(), xpath);
        return node == nullptr ? std::string("<missing>") : doc.Text(node);
    };
    EXPECT_EQ(text("env:Body/env:Fault/env:Code/env:Value"), "env:Sender");
    EXPECT_EQ(text("env:Body/env:Fault/env:Code/env:Subcode/env:Value"), "ter:NotAuthorized");
    EXPECT_EQ(text("env:Body/env:Fault/env:Reason/env:Text[@xml:lang='en']"),
              "bad <token> & \"quotes\" 'here'\r\n");
    // The QName prefixes used in the values are declared.
    EXPECT_EQ(doc.GetAttribute(doc.DocumentElement(), "xmlns:ter"), kErrorNamespace);

    const std::string bare = BuildOnvifFault({"env:VersionMismatch", "", "SOAP 1.2 only"});
    EXPECT_EQ(bare.find("Subcode"), std::string::npos);
    EXPECT_TRUE(k47::XmlDocument::LoadString(bare));
}
