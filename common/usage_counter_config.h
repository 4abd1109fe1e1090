#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

// Where the usage counter lives and which account signs in: deployment configuration, never
// part of the sources. It comes from the environment, either variable by variable or from a JSON
// file that VELA_COUNTER_CONFIG names (a non-empty variable wins over the file). Without any of it
// the counter is off.
class UsageCounterConfig
{
public:
    static constexpr const char* kConfigFileVariable = "VELA_COUNTER_CONFIG";
    static constexpr const char* kSignInUrlVariable = "VELA_COUNTER_SIGNIN_URL";
    static constexpr const char* kFirestoreUrlVariable = "VELA_COUNTER_FIRESTORE_URL";
    static constexpr const char* kEmailVariable = "VELA_COUNTER_EMAIL";
    static constexpr const char* kPasswordVariable = "VELA_COUNTER_PASSWORD";
    // Keys of the configuration file, one JSON object.
    static constexpr const char* kSignInUrlKey = "signin_url";
    static constexpr const char* kFirestoreUrlKey = "firestore_url";
    static constexpr const char* kEmailKey = "email";
    static constexpr const char* kPasswordKey = "password";

    // The Identity Toolkit sign-in URL with its key: https://<host>/v1/accounts:signInWithPassword?key=<key>
    QString signInUrl;
    // The Firestore service root, https://<host>; the document paths are fixed.
    QString firestoreUrl;
    QString email;
    QString password;

    static UsageCounterConfig fromEnvironment();

    bool isEmpty() const;
    // Every item present and both URLs usable: only then does the counter send anything.
    bool isComplete() const;
    // The items still missing or unusable, by their variable names (for the debug log).
    QStringList problems() const;

    QUrl signInEndpoint() const;
    QUrl commitEndpoint() const;
    QUrl counterDocumentEndpoint() const;
};
