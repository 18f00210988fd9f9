#pragma once

#include <QString>

// The remote services' addresses. Every client takes its base address as a constructor
// argument defaulting to these, so tests point them at fakes on 127.0.0.1.
namespace qm::RemoteHosts {

inline QString anthropicApi() {
    return QStringLiteral("https://api.anthropic.com");
}
inline QString openAiApi() {
    return QStringLiteral("https://api.openai.com");
}
inline QString xaiApi() {
    return QStringLiteral("https://api.x.ai");
}
inline QString geminiApi() {
    return QStringLiteral("https://generativelanguage.googleapis.com");
}
inline QString claudeSite() {
    return QStringLiteral("https://claude.ai");
}
// The community-maintained price list, as its project publishes it.
inline QString priceList() {
    return QStringLiteral(
        "https://raw.githubusercontent.com/BerriAI/litellm/main/"
        "model_prices_and_context_window.json");
}
inline QString googleSignInHost() {
    return QStringLiteral("accounts.google.com");
}

}  // namespace qm::RemoteHosts
