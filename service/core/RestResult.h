#pragma once
// CRestResult: the common part of a REST result. The response is parsed
// once; the code is the response's "code" member ("0" when it is empty or
// missing, read with the wide atoi rule), or -1 when the response is not a
// JSON object or the exchange did not complete.

#include <string>

#include <json/json.h>

#include "pelbo/compat/StringW.h"
#include "pelbo/corekit/XData.h"

class CRestResult {
public:
    CRestResult(const std::wstring& response, int completed);

    bool Parsed() const { return m_parsed; }
    int Code() const { return m_code; }
    const Json::Value& Root() const { return m_root; }
    // A top-level member of the response as text (empty when missing).
    CStringW Text(const char* member) const;

    // Reports the result with HttpsServiceEvent and then drops the record
    // (a receiver that keeps it has added its own reference).
    void Emit(unsigned kind, XDataPtr<IXData> record) const;

    // Logs why the answer was not a success (LogRefusedAnswer); nothing for
    // code 0.
    void LogRefusal(const wchar_t* tag, const wchar_t* what) const;

private:
    Json::Value m_root;
    bool m_parsed = false;
    bool m_completed = false;
    int m_code = -1;
};

// One log line for a REST answer that refused or failed, e.g.
//   sign-in refused: code 1002, msg "wrong password"
// with the service's "code" and "msg" ("message" when it has no "msg";
// secrets masked, the text shortened);
// an exchange that did not complete says so (the HTTPS service has logged
// the transport's error with the address), an answer that is not JSON too.
// what names the request ("sign-in", "upload ticket").
void LogRefusedAnswer(const wchar_t* tag, const wchar_t* what, const Json::Value& root, bool parsed, bool completed);
