#pragma once
// FirstSteps: the steps of a client's first day with libService, taken by
// main in this order. Each step prints one line, "ok   <step>: ..." or
// "FAIL <step>: <why>", and returns whether it succeeded; a step needs the
// ones before it. Every wait for the library is bounded.

#include <string>

#include "pelbo/compat/StringW.h"
#include "pelbo/corekit/XData.h"

class FirstSteps {
public:
    struct Options {
        std::string server;    // the REST base, http:// or https://, without a trailing "/"
        std::string ca;        // PEM file of the CA to trust; empty: the system's store
        std::string phone;
        std::string password;
        std::string data;      // the library's data folder
    };

    explicit FirstSteps(Options options);

    // Data folder, REST base, websocket, manifest, CA bundle, object storage.
    bool ApplySettings();
    // LoginApi::AccountLogin; keeps the sign-in record.
    bool SignIn();
    // The signed-in user's login item in the profile store, and the user id
    // in the user cache: what the session and the uploads read the token from.
    bool KeepSignedInUser();
    // MeetingApi::CreateMeeting in the user's corporation.
    bool CreateMeeting();
    // WebsocketApi::Init and StartConn, up to ConnectResult 0.
    bool StartSession();
    // MeetingApi::JoinMeeting of the meeting made, up to EnterMeeting 0.
    bool EnterRoom();
    // OssUploadApi::AddUpLoadFile of a document with a progress sink.
    bool UploadDocument();
    // PicDownloadApi::AppendTask of the user's head picture (chosen first
    // with LoginApi::ModifyUserProfile when the user has none).
    bool DownloadHeadPicture();
    // Aux::Version::CheckVersion, up to UpdatePelboVersion or its silence.
    bool CheckVersion();

private:
    Options m_options;
    XDataPtr<IXData> m_signIn;  // the latest sign-in record
    CStringW m_roomCode;
};
