// Site settings: an environment file read as systemd reads it, and each
// setting's check -> the line networkproxyctl check prints. A check that
// passes a broken setting lets the daemon start into a failure every minute;
// one that fails a good setting keeps a site down.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "SettingChecks.h"
#include "SettingNames.h"
#include "SiteSettings.h"
#include "pty_pair.h"
#include "temp_cwd.h"

namespace {

// A self-signed Ed25519 certificate, valid for a century.
constexpr const char* kCertificate =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBLTCB4KADAgECAhMXaxPq3rMnithyFi7j80do7+jlMAUGAytlcDAMMQowCAYD\n"
    "VQQDDAF0MCAXDTI2MTIwOTAwMDIwNloYDzIxMjYxMTE1MDAwMjA2WjAMMQowCAYD\n"
    "VQQDDAF0MCowBQYDK2VwAyEAoL3UFPbUQcx/MCp1PKS6g8+CQJlBrVG05TZIYjR4\n"
    "LVyjUzBRMB0GA1UdDgQWBBRCwagHuhEL83q1LnBuukLnhFHHCDAfBgNVHSMEGDAW\n"
    "gBRCwagHuhEL83q1LnBuukLnhFHHCDAPBgNVHRMBAf8EBTADAQH/MAUGAytlcANB\n"
    "AN+UeZwPMz0Ibtf1xBcP/ZQPfOewQqG357Z6RoCa+u+QpIOLWpr2NYaQQP8T/lx8\n"
    "zPLazeqd6Iwx218vnjwVOgo=\n"
    "-----END CERTIFICATE-----\n";

void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string Verdict(const Status& status) { return status.ok() ? "ok" : status.reason(); }

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return text;
}

// PEM texts of a fresh Ed25519 key pair: {public, private}.
std::pair<std::string, std::string> Ed25519Pem() {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  BIO* pub = BIO_new(BIO_s_mem());
  BIO* priv = BIO_new(BIO_s_mem());
  PEM_write_bio_PUBKEY(pub, key);
  PEM_write_bio_PrivateKey(priv, key, nullptr, nullptr, 0, nullptr, nullptr);
  EVP_PKEY_free(key);
  return {BioText(pub), BioText(priv)};
}

TEST(EnvironmentFile, CommentsQuotesAndBlankLinesReadAsSystemdReadsThem) {
  const EnvironmentFile file = ParseEnvironmentText(
      "# Settings\n"
      "\n"
      "  ; also a comment\n"
      "NETWORKPROXY_PORT=/dev/ttyUSB1\n"
      "NETWORKPROXY_ARGS=\"\"\n"
      "NETWORKPROXY_REPORT_URL=\"https://r.example/ping.json\"\n"
      "NETWORKPROXY_SPOOL='spool db'\n"
      "export NETWORKPROXY_LOG_KEEP_DAYS = 90  \n"
      "NETWORKPROXY_METRICS_FILE=\"/a \\\"b\\\"\"\n"
      "not a setting\n"
      "NETWORKPROXY_FIRMWARE_REGION=\"open\n"
      "NETWORKPROXY_PORT=/dev/ttyUSB2\r\n");
  EXPECT_EQ(file.bad_lines, (std::vector<std::string>{"line 10: not KEY=value",
                                                      "line 11: quote not closed"}));
  const SiteSettings settings = SiteSettingsFrom(file.values);
  EXPECT_EQ(settings.serial_device, "/dev/ttyUSB2");  // the later line wins
  EXPECT_EQ(settings.report_url, "https://r.example/ping.json");
  EXPECT_EQ(settings.spool, "spool db");
  EXPECT_EQ(settings.log_keep_days, "90");
  EXPECT_EQ(settings.metrics_file, "/a \"b\"");
  EXPECT_EQ(settings.firmware_region, "");
  EXPECT_EQ(file.values.at("NETWORKPROXY_ARGS"), "");
}

struct TextCase {
  std::string value;
  std::string verdict;  // "ok" or the reason
};

TEST(SettingChecks, TextSettingsAcceptGoodValuesAndNameWhatIsWrong) {
  const std::vector<std::pair<Status (*)(const std::string&), std::vector<TextCase>>> table = {
      {CheckUrl,
       {{"https://reports.example.com/ping.json", "ok"},
        {"http://127.0.0.1:8080/ping.json", "ok"},
        {"HTTPS://[::1]:443/p", "ok"},
        {"https://user@host/p", "ok"},
        {"htps://reports.example.com/ping.json", "scheme \"htps\" is not http or https"},
        {"ftp://h/p", "scheme \"ftp\" is not http or https"},
        {"reports.example.com/ping.json", "not a URL: it must start with https:// or http://"},
        {"https:///ping.json", "no host"},
        {"https://:8080/p", "no host"},
        {"https://h:80x/p", "\":80x\" after the host is not a port number"},
        {"https://h:99999/p", "\":99999\" after the host is not a port number"},
        {"https://h /p", "contains a space or control character"}}},
      {CheckReportHost,
       {{"reports.example.com", "ok"},
        {"127.0.0.1:8080", "ok"},
        {"http://reports.example.com",
         "a host or host:port, not a URL (use NETWORKPROXY_REPORT_URL for that)"},
        {"h:port", "\":port\" after the host is not a port number"}}},
      {CheckBucketName,
       {{"networkproxy-firmware", "ok"},
        {"site.demo-1", "ok"},
        {"ab", "not 3 to 63 characters long"},
        {std::string(64, 'a'), "not 3 to 63 characters long"},
        {"Firmware", "'F' is not allowed (lower-case letters, digits, '.' and '-' only)"},
        {"my_bucket", "'_' is not allowed (lower-case letters, digits, '.' and '-' only)"},
        {"-abc", "each part between dots must start and end with a letter or digit"},
        {"a..b", "each part between dots must start and end with a letter or digit"},
        {"192.168.1.10", "looks like an IP address"},
        {"xn--abc", "starts with the reserved \"xn--\""},
        {"abc-s3alias", "ends with the reserved \"-s3alias\""}}},
      {CheckRegionName,
       {{"ap-southeast-2", "ok"},
        {"us-gov-west-1", "ok"},
        {"ap-southeast", "not a region name like ap-southeast-2"},
        {"AP-southeast-2", "not a region name like ap-southeast-2"},
        {"ap--2", "not a region name like ap-southeast-2"},
        {"s3.amazonaws.com", "not a region name like ap-southeast-2"}}},
      {[](const std::string& v) { return ParseSpoolMaxEvents(v).status; },
       {{"100000", "ok"},
        {"0", "not a positive whole number: 0"},
        {"-5", "not a positive whole number: -5"},
        {"10k", "not a positive whole number: 10k"},
        {"99999999999999999999999", "not a positive whole number: 99999999999999999999999"}}},
      {[](const std::string& v) { return ParseLogKeepDays(v).status; },
       {{"0", "ok"},
        {"90", "ok"},
        {"-1", "not a number of days (0 to 100000): -1"},
        {"90d", "not a number of days (0 to 100000): 90d"},
        {"100001", "not a number of days (0 to 100000): 100001"}}},
  };
  for (const auto& [check, cases] : table) {
    for (const TextCase& c : cases) EXPECT_EQ(Verdict(check(c.value)), c.verdict) << c.value;
  }
  EXPECT_EQ(ParseSpoolMaxEvents("250").events, 250u);
  EXPECT_EQ(ParseLogKeepDays("90").days, 90);
}

TEST(SettingChecks, FileSettingsAcceptGoodFilesAndNameWhatIsWrong) {
  TempWorkingDir dir("np-settings");
  const auto [public_pem, private_pem] = Ed25519Pem();
  Write("token", "s3cr3t-token\n");
  Write("token-empty", "\nsecond\n");
  Write("token-two", "one\ntwo\n");
  // Past the daemon's bound, which check must not be laxer than.
  Write("token-big", "t\n" + std::string(20 * 1024, ' '));
  Write("pub-big.pem", public_pem + std::string(20 * 1024, '\n'));
  Write("ca.pem", kCertificate);
  Write("ca-cut.pem", std::string(kCertificate).substr(0, 200));
  Write("not-pem", "hello\n");
  Write("pub.pem", public_pem);
  Write("priv.pem", private_pem);
  Write("creds", "[default]\naws_access_key_id = AKIDSECRET1\naws_secret_access_key = SECRETKEY2\n");
  Write("creds-half", "[default]\naws_access_key_id = AKIDSECRET1\n");
  Write("junk.db", "this is not a database, it is a text file of some length...\n");
  mkdir("folder", 0755);
  {
    sqlite3* db = nullptr;
    sqlite3_open("good.db", &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; CREATE TABLE events(id INTEGER PRIMARY KEY, key TEXT,"
                 " received_ms INTEGER, payload BLOB, dead_ms INTEGER);"
                 "INSERT INTO events(key, received_ms, payload) VALUES('k', 1, 'door=1');",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    sqlite3_open("view.db", &db);
    sqlite3_exec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, key TEXT, received_ms INTEGER,"
                 " payload BLOB); CREATE VIEW events AS SELECT * FROM t;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  // check runs as root: a link or a FIFO in the service's folder is refused.
  symlink("good.db", "link.db");
  mkfifo("fifo.db", 0600);
  PtyPair pty;
  const std::vector<std::pair<Status (*)(const std::string&), std::vector<TextCase>>> table = {
      {CheckTokenFile,
       {{"token", "ok"},
        {"token-empty", "the first line (the token) is empty"},
        {"token-two", "more than one line: only the first is sent as the token"},
        {"token-big", "larger than 16384 bytes"},
        {"folder", "not a regular file"},
        {"missing", "No such file or directory"}}},
      {CheckCaFile,
       {{"ca.pem", "ok"},
        {"not-pem", "no PEM certificate in it"},
        {"pub.pem", "no PEM certificate in it"},
        {"missing", "No such file or directory"}}},
      {CheckPublicKeyFile,
       {{"pub.pem", "ok"},
        {"priv.pem", "a private key: give the public one (openssl pkey -pubout)"},
        {"pub-big.pem", "larger than 16384 bytes"},
        {"ca.pem", "not a PEM public key"},
        {"missing", "No such file or directory"}}},
      {CheckSpoolFile,
       {{"good.db", "ok"},
        {"new.db", "ok"},
        {"junk.db", "cannot be read as a spool: not a spool file"},
        {"view.db", "cannot be read as a spool: not a spool file"},
        {"folder", "not a regular file"},
        {"link.db", "not a regular file"},
        {"fifo.db", "not a regular file"},
        {"nowhere/spool.db", "folder nowhere: No such file or directory"}}},
      {CheckWritableFolderOf,
       {{"metrics.prom", "ok"},
        {"token/metrics.prom", "folder token: not a folder"},
        {"nowhere/metrics.prom", "folder nowhere: No such file or directory"}}},
      {CheckSerialDevice,
       {{pty.slave_path(), "ok"},
        {"/dev/null", "not a terminal"},
        {"token", "not a terminal"},
        {"/dev/ttyUSB-missing", "No such file or directory"}}},
  };
  for (const auto& [check, cases] : table) {
    for (const TextCase& c : cases) EXPECT_EQ(Verdict(check(c.value)), c.verdict) << c.value;
  }
  EXPECT_NE(Verdict(CheckCaFile("ca-cut.pem")).find("not PEM certificates"), std::string::npos);
  EXPECT_EQ(Verdict(CheckCredentials("creds", "")), "ok");
  EXPECT_EQ(Verdict(CheckCredentials("creds", "other")), "no profile [other] in creds");
  EXPECT_EQ(Verdict(CheckCredentials("creds-half", "")),
            "profile [default] has no aws_secret_access_key in creds-half");
  EXPECT_EQ(Verdict(CheckCredentials("gone", "")), "ok");  // not configured: compiled-in pair
  EXPECT_EQ(Verdict(CheckCredentials(".", "")), "cannot read .: Is a directory");
}

TEST(SettingChecks, CheckNamesEachSetSettingAndNoSecret) {
  TempWorkingDir dir("np-settings");
  Write("creds", "[default]\naws_access_key_id = AKIDSECRET1\naws_secret_access_key = SECRETKEY2\n");
  Write("token", "s3cr3t-token\n");
  SiteSettings settings;
  settings.report_url = "https://r.example/ping.json";
  settings.report_token_file = "token";
  settings.credentials_file = "creds";
  settings.profile = "site";
  settings.firmware_bucket = "Bad";
  std::string out;
  for (const SettingReport& r : CheckSiteSettings(settings)) out += SettingLine(r) + "\n";
  EXPECT_EQ(out,
            "ok NETWORKPROXY_REPORT_URL\n"
            "ok NETWORKPROXY_REPORT_TOKEN_FILE\n"
            "AWS_SHARED_CREDENTIALS_FILE - no profile [site] in creds\n"
            "AWS_PROFILE - no profile [site] in creds\n"
            "NETWORKPROXY_FIRMWARE_BUCKET - 'B' is not allowed (lower-case letters, digits, '.' and '-' only)\n");
  EXPECT_EQ(out.find("SECRET"), std::string::npos);
}

TEST(SettingChecks, DaemonRefusesOnlyABadReportUrlAndATokenOverHttp) {
  struct Case {
    std::string url, host, token;
    std::vector<std::string> lines;
  };
  const std::string clear =
      "NETWORKPROXY_REPORT_TOKEN_FILE - refused: the report URL is not https://, so the token "
      "would cross the network in clear";
  const std::vector<Case> cases = {
      {"", "", "", {}},
      {"https://r/p", "", "/missing-token", {}},  // a missing token file is logged per event
      {"http://r/p", "", "", {}},
      {"htps://r/p", "", "", {"NETWORKPROXY_REPORT_URL - scheme \"htps\" is not http or https"}},
      {"http://r/p", "", "t", {clear}},
      {"", "r.example", "t", {clear}},  // no URL: the host is posted to over http://
      {"htps://r/p", "", "t", {"NETWORKPROXY_REPORT_URL - scheme \"htps\" is not http or https", clear}},
  };
  for (const Case& c : cases) {
    SiteSettings settings;
    settings.report_url = c.url;
    settings.report_host = c.host;
    settings.report_token_file = c.token;
    std::vector<std::string> lines;
    for (const SettingReport& r : FatalSettingProblems(settings)) lines.push_back(SettingLine(r));
    EXPECT_EQ(lines, c.lines) << c.url << " " << c.token;
  }
}

}  // namespace

// A misspelt name leaves its setting silently off; a wrong guess sends the
// operator after the wrong setting.
TEST(SettingNames, UnknownNamesGetTheNearestKnownOneOrNone) {
  struct Case {
    const char* name;
    const char* nearest;
  };
  const Case cases[] = {
      {"NETWORKPROXY_SPOL", "NETWORKPROXY_SPOOL"},
      {"NETWORKPROXY_SPOOL_MAX_EVENT", "NETWORKPROXY_SPOOL_MAX_EVENTS"},
      {"NETWORKPROXY_REPORTURL", "NETWORKPROXY_REPORT_URL"},
      {"NETWORKPROXY_ARG", "NETWORKPROXY_ARGS"},
      {"NETWORKPROXY_PROT", "NETWORKPROXY_PORT"},  // two edits
      {"NETWORKPROXY_FOO", ""},
      {"NETWORKPROXY_TOKEN", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(NearestSettingName(c.name), c.nearest) << c.name;

  const EnvironmentValues values = {{"NETWORKPROXY_SPOL", "spool.db"},
                                    {"NETWORKPROXY_ARGS", ""},
                                    {"NETWORKPROXY_SPOOL", "spool.db"},
                                    {"NETWORKPROXY_FOO", "1"},
                                    {"AWS_PROFIL", "x"},
                                    {"PATH", "/bin"}};
  std::vector<std::string> lines;
  for (const SettingReport& report : UnknownSettingNames(values)) lines.push_back(SettingLine(report));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "NETWORKPROXY_FOO - unknown setting",
                       "NETWORKPROXY_SPOL - unknown setting (did you mean NETWORKPROXY_SPOOL?)"}));
}
