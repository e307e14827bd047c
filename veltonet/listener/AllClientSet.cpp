#include "veltonet/listener/AllClientSet.h"

#include "veltonet/listener/Client.h"

namespace veltonet {

void AllClientSet::Clear() {
    while (!m_clients.empty()) {
        Client* client = *m_clients.begin();
        Remove(client);
        client->DeleteByListener();
    }
}

void AllClientSet::AddObserver(Observer* observer) {
    for (Client* client : m_clients) {
        client->Add(observer);
    }
}

void AllClientSet::RemoveObserver(Observer* observer) {
    for (Client* client : m_clients) {
        client->Remove(observer);
    }
}

void AllClientSet::ForceSendBufferToClients() {
    Walk([](Client* client) {
        if (!client->toDestroy()) {
            client->ForceSendBuffer();
            if (!client->toDestroy()) {
                return;
            }
        }
        // Withdrawn from the listener and every subscription now, since the listener may be
        // gone before a client inside its own notification is deleted at its end.
        client->DeleteByListener();
    });
}

void AllClientSet::ResetMeasure() {
    for (Client* client : m_clients) {
        client->ResetMeasure();
    }
}

void AllClientSet::AddFeedMeasure(unsigned int milliseconds) {
    for (Client* client : m_clients) {
        client->AddFeedMeasure(milliseconds);
    }
}

void AllClientSet::ClearFeedMeasures() {
    for (Client* client : m_clients) {
        client->ClearFeedMeasures();
    }
}

}  // namespace veltonet
