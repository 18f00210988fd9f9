#include "browser/ClaudeScripts.h"

namespace qm::ClaudeScripts {

QString cleanup() {
    return QStringLiteral(R"JS(void (async function () {
  try {
    if (navigator.serviceWorker) {
      const registrations = await navigator.serviceWorker.getRegistrations();
      for (const registration of registrations) {
        try { await registration.unregister(); } catch (e) {}
      }
    }
  } catch (e) {}
  try {
    if (window.caches) {
      const keys = await caches.keys();
      for (const key of keys) {
        try { await caches.delete(key); } catch (e) {}
      }
    }
  } catch (e) {}
})();
)JS");
}

QString usage(const QString& nonce) {
    QString script = QStringLiteral(R"JS((function () {
  const nonce = '__NONCE__';
  // One channel per document; qwebchannel.js is injected into this world at document creation.
  if (!window.__quotameterBridge) {
    window.__quotameterBridge = new Promise(function (resolve) {
      new QWebChannel(qt.webChannelTransport, function (channel) {
        resolve(channel.objects.quotameter);
      });
    });
  }
  function send(payload) {
    payload.__id = nonce;
    return window.__quotameterBridge.then(function (bridge) { bridge.postMessage(payload); });
  }
  const options = {
    credentials: 'include',
    cache: 'reload',
    headers: { 'Accept': 'application/json', 'Cache-Control': 'no-cache', 'Pragma': 'no-cache' }
  };
  fetch('/api/organizations?_t=' + Date.now(), options)
    .then(function (orgsResponse) {
      if (orgsResponse.status === 401 || orgsResponse.status === 403) {
        return send({ ok: false, error: 'not_logged_in', status: orgsResponse.status });
      }
      if (!orgsResponse.ok) {
        return send({ ok: false, error: 'orgs_failed', status: orgsResponse.status });
      }
      return orgsResponse.json().then(function (orgs) {
        if (!orgs || !orgs.length) return send({ ok: false, error: 'no_org' });
        const uuid = orgs[0].uuid;
        return fetch('/api/organizations/' + uuid + '/usage?_t=' + Date.now(), options)
          .then(function (usageResponse) {
            if (usageResponse.status === 401 || usageResponse.status === 403) {
              return send({ ok: false, error: 'not_logged_in', status: usageResponse.status });
            }
            if (!usageResponse.ok) {
              return send({ ok: false, error: 'usage_failed', status: usageResponse.status });
            }
            return usageResponse.json().then(function (usage) {
              return send({ ok: true, data: JSON.stringify(usage) });
            });
          });
      });
    })
    .catch(function (error) {
      return send({ ok: false, error: 'exception', message: String(error) });
    });
})();
)JS");
    script.replace(QStringLiteral("__NONCE__"), nonce);
    return script;
}

QString reportingEvaluation(const QString& script) {
    return QStringLiteral("(function () {\ntry {\n") + script +
           QStringLiteral(
               "\n} catch (e) { return 'error: ' + String(e); }\nreturn 'started';\n})();");
}

}  // namespace qm::ClaudeScripts
