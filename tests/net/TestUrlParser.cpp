// The URL parser alone: what each part of an address is, the spellings of a
// host that must come out as one address, the authorities no address may
// have, and references resolved as RFC 3986 resolves them.

#include <QtTest>

#include "NetTestSupport.h"
#include "UrlParser.h"

class TestUrlParser : public QObject {
    Q_OBJECT
private slots:
    void parts()
    {
        const UrlParts p = UrlParser::parse("HTTPS://u%40x:p@Squads.Example:8443/a//b/?q=1&r=?#frag");
        QCOMPARE(p.scheme, QStringLiteral("https"));
        QVERIFY(p.hasAuthority && p.hasUserInfo);
        QCOMPARE(p.userInfo, QStringLiteral("u%40x:p"));
        QCOMPARE(p.host, QStringLiteral("Squads.Example"));
        QCOMPARE(p.port, 8443);
        QCOMPARE(p.path, QStringLiteral("/a//b/"));
        QVERIFY(p.hasQuery);
        QCOMPARE(p.query, QStringLiteral("q=1&r=?"));
        QCOMPARE(p.fragment, QStringLiteral("frag"));
        QCOMPARE(p.toString(), QStringLiteral("https://Squads.Example:8443/a//b/?q=1&r=?"));

        const UrlParts v6 = UrlParser::parse("http://[0:0::1]:80");
        QCOMPARE(v6.host, QStringLiteral("::1"));
        QCOMPARE(v6.hostAndPort(), QStringLiteral("[::1]:80"));
        QVERIFY(v6.path.isEmpty() && !v6.hasQuery);
        // An empty port is the scheme's default; a "?" alone is an empty query.
        const UrlParts empty = UrlParser::parse("http://h:?");
        QCOMPARE(empty.port, -1);
        QVERIFY(empty.hasQuery && empty.query.isEmpty());
        // No valid scheme: the whole text is a path.
        QCOMPARE(UrlParser::parse("127.0.0.1:8080/x").path, QStringLiteral("127.0.0.1:8080/x"));
    }

    // Every spelling the system's address parser takes is the one address,
    // so that what is connected to and what a certificate must name agree.
    void ipv4Spellings_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("dotted");
        QTest::newRow("dotted") << "127.0.0.1" << "127.0.0.1";
        QTest::newRow("two parts") << "127.1" << "127.0.0.1";
        QTest::newRow("three parts") << "10.1.258" << "10.1.1.2";
        QTest::newRow("one number") << "2130706433" << "127.0.0.1";
        QTest::newRow("hexadecimal part") << "0x7f.0.0.1" << "127.0.0.1";
        QTest::newRow("octal number") << "017700000001" << "127.0.0.1";
        QTest::newRow("hexadecimal number") << "0X7F000001" << "127.0.0.1";
        QTest::newRow("trailing dot") << "192.0.2.7." << "192.0.2.7";
    }

    void ipv4Spellings()
    {
        QFETCH(QString, host);
        QTEST(UrlParser::parse("https://" + host + "/").host, "dotted");
    }

    void refused_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("error");
        QTest::newRow("second port") << "http://h:8080:80/" << "'8080:80' is not a valid integer value";
        QTest::newRow("port 0") << "http://h:0/" << "Port 0 is out of range";
        QTest::newRow("port 65536") << "http://h:65536/" << "Port 65536 is out of range";
        QTest::newRow("endless port") << "http://h:99999999999999999999/"
                                      << "Port 99999999999999999999 is out of range";
        QTest::newRow("byte over 255") << "http://1.2.3.256/" << "Invalid IPv4 address in URL";
        QTest::newRow("five parts") << "http://1.2.3.4.5/" << "Invalid IPv4 address in URL";
        QTest::newRow("octal digit 8") << "http://08.1.1.1/" << "Invalid IPv4 address in URL";
        QTest::newRow("a name ending in a number") << "http://squads.7/" << "Invalid IPv4 address in URL";
        QTest::newRow("dots only") << "http://../up.jpg" << "Invalid host name in URL";
        QTest::newRow("empty label") << "http://a..b/" << "Invalid host name in URL";
        QTest::newRow("space") << "http://a b/" << "Invalid host name in URL";
        QTest::newRow("percent") << "http://%61/" << "Invalid host name in URL";
        QTest::newRow("backslash") << "http://a\\b/" << "Invalid host name in URL";
        QTest::newRow("IPv6 without bracket") << "http://[::1/" << "Invalid IPv6 address in URL";
        QTest::newRow("IPv4 in brackets") << "http://[1.2.3.4]/" << "Invalid IPv6 address in URL";
        QTest::newRow("text after bracket") << "http://[::1]x/" << "Invalid IPv6 address in URL";
        QTest::newRow("line feed") << "http://h/a\nb" << "URL holds a line break or NUL character";
    }

    void refused()
    {
        QFETCH(QString, url);
        QTEST(thrown([&] { UrlParser::parse(url); }), "error");
    }

    // The examples of RFC 3986, section 5.4, and the references that
    // redirections and logos give.
    void resolve_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("reference");
        QTest::addColumn<QString>("target");
        const QString b = "http://a/b/c/d;p?q";
        const char* const rfc[][2] = {
            {"g:h", "g:h"},          {"g", "http://a/b/c/g"},       {"./g", "http://a/b/c/g"},
            {"g/", "http://a/b/c/g/"}, {"/g", "http://a/g"},         {"//g", "http://g"},
            {"?y", "http://a/b/c/d;p?y"}, {"g?y", "http://a/b/c/g?y"}, {"#s", "http://a/b/c/d;p?q"},
            {"g#s", "http://a/b/c/g"}, {";x", "http://a/b/c/;x"},    {"", "http://a/b/c/d;p?q"},
            {".", "http://a/b/c/"},   {"./", "http://a/b/c/"},       {"..", "http://a/b/"},
            {"../", "http://a/b/"},   {"../g", "http://a/b/g"},      {"../..", "http://a/"},
            {"../../g", "http://a/g"}, {"../../../g", "http://a/g"}, {"/./g", "http://a/g"},
            {"/../g", "http://a/g"},  {"g.", "http://a/b/c/g."},     {"..g", "http://a/b/c/..g"},
            {"./../g", "http://a/b/g"}, {"./g/.", "http://a/b/c/g/"}, {"g/./h", "http://a/b/c/g/h"},
            {"g/../h", "http://a/b/c/h"}, {"g;x=1/../y", "http://a/b/c/y"},
            {"g?y/./x", "http://a/b/c/g?y/./x"}, {"http:g", "http:g"},
        };
        for (const auto& row : rfc)
            QTest::addRow("RFC %s", row[0]) << b << row[0] << row[1];
        const QString page = "http://h:8080/dir/page/logo.jpg";
        QTest::newRow("empty segment kept") << page << "/a//b.jpg" << "http://h:8080/a//b.jpg";
        QTest::newRow("an address in the query") << page << "/p?u=http://h/z" << "http://h:8080/p?u=http://h/z";
        QTest::newRow("up a folder") << page << "../up.jpg" << "http://h:8080/dir/up.jpg";
        QTest::newRow("authority without a path") << "http://h" << "x.jpg" << "http://h/x.jpg";
        QTest::newRow("another scheme") << page << "https://s/x" << "https://s/x";
    }

    void resolve()
    {
        QFETCH(QString, base);
        QFETCH(QString, reference);
        const UrlParts target = UrlParser::resolve(UrlParser::parse(base), UrlParser::parse(reference));
        QTEST(target.toString(), "target");
    }
};

QTEST_GUILESS_MAIN(TestUrlParser)
#include "TestUrlParser.moc"
