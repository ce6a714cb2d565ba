#include "audio/pipewire/pw_links.h"

#include <algorithm>

namespace housetone::pw {

pw_proxy* createLink(GraphConnection& c, std::uint32_t outNode, std::uint32_t outPort,
                     std::uint32_t inNode, std::uint32_t inPort) {
    pw_properties* props = pw_properties_new(PW_KEY_OBJECT_LINGER, "false", nullptr);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", outNode);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", outPort);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", inNode);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", inPort);
    auto* link = static_cast<pw_proxy*>(pw_core_create_object(
        c.core(), "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    return link;
}

bool waitLinked(GraphConnection& c, const std::vector<pw_proxy*>& links, double timeoutSeconds) {
    return c.waitFor(timeoutSeconds, [&] {
        return std::all_of(links.begin(), links.end(), [](pw_proxy* l) {
            return l && pw_proxy_get_bound_id(l) != SPA_ID_INVALID;
        });
    });
}

void destroyLinks(std::vector<pw_proxy*>& links) {
    for (pw_proxy* l : links)
        if (l) pw_proxy_destroy(l);
    links.clear();
}

}  // namespace housetone::pw
