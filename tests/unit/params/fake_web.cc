// Stand-in for the web layer's registration, so the parameter layer's handlers can be called
// directly.
#include "param_fixture.h"
#include "web/web.h"

std::map<std::string, FakeEndpoint> &fake_endpoints() {
    static std::map<std::string, FakeEndpoint> endpoints;
    return endpoints;
}

void web_register(const char *name, WebBufferHandler h, void *, const char *content_type,
                  int level) {
    fake_endpoints().emplace(name, FakeEndpoint{h, content_type, level});
}
