#pragma once

#include "core/settings_store.h"
#include "pluginlink/plugin_ipc.h"
#include "service/service_transport.h"
#include "support/keylib_server_process.h"
#include "support/run_task.h"
#include "support/temp_home.h"

#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

// A temporary home with consent given, a clean plug-in link and, on request, the real
// key-library server seeded with the fixture's songs.
class KeylibTestBase : public ::testing::Test {
protected:
    explicit KeylibTestBase(const char* seedJson) : m_seedJson(seedJson) {}

    void SetUp() override
    {
        PluginIPC::resetForTests();
        home.settings().setPrivacyConsent(true);
        seed = KeylibServerProcess::writeTemp(files, QStringLiteral("seed.json"), m_seedJson);
    }
    // Call from TearDown once the fixture's own tasks are cancelled: lets them run out, then
    // drops the connections and the server.
    void finishServer()
    {
        drainCancelledTasks();
        service_transport::network().clearConnectionCache();
        server.reset();
        PluginIPC::resetForTests();
    }
    void startServer(QStringList arguments = {})
    {
        server = std::make_unique<KeylibServerProcess>(arguments << QStringLiteral("--seed") << seed);
        ASSERT_TRUE(server->started());
        home.settings().setServerBaseURL(server->baseURL());
    }

    TempHome home;
    QTemporaryDir files;
    QString seed;
    std::unique_ptr<KeylibServerProcess> server;

private:
    const char* m_seedJson;
};
