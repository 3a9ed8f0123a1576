"""A real UPnP control point (GUPnP through GObject introspection) that finds
the relay's media server on one interface, browses its tree and subscribes to
its ContentDirectory events. Prints one line per finding for the calling
test:

  device <friendly name> <udn>
  service <service type>
  browse <object id> <NumberReturned> <TotalMatches> <Result on one line>
  subscribed <yes|no>

Usage: upnp_control_point.py INTERFACE SECONDS
Ends after SECONDS at the latest, with status 1 when the device was not found.
"""
import sys

import gi

gi.require_version("GUPnP", "1.6")
gi.require_version("GSSDP", "1.6")
from gi.repository import GLib, GObject, GSSDP, GUPnP  # noqa: E402

interface, seconds = sys.argv[1], int(sys.argv[2])
loop = GLib.MainLoop()
found = {"device": False, "lost": False}
CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"
CM = "urn:schemas-upnp-org:service:ConnectionManager:1"


def out(*words):
    print(*words, flush=True)


def browse(proxy, object_id, flag):
    names = ["ObjectID", "BrowseFlag", "Filter", "StartingIndex", "RequestedCount", "SortCriteria"]
    values = [object_id, flag, "*", "0", "0", ""]
    gvalues = []
    for v in values:
        g = GObject.Value(GObject.TYPE_STRING)
        g.set_string(v)
        gvalues.append(g)
    action = GUPnP.ServiceProxyAction.new_from_list("Browse", names, gvalues)
    action = proxy.call_action(action, None)
    ok, results = action.get_result_list(
        ["Result", "NumberReturned", "TotalMatches"],
        [GObject.TYPE_STRING, GObject.TYPE_UINT, GObject.TYPE_UINT])
    if not ok:
        out("browse", object_id, "failed")
        return ""
    result, returned, total = results
    out("browse", object_id, returned, total, result.replace("\n", " "))
    return result


def on_subscription_lost(proxy, error):
    found["lost"] = True


def device_available(cp, device):
    if found["device"]:
        return
    found["device"] = True
    out("device", device.get_friendly_name(), device.get_udn())
    for info in device.list_services():
        out("service", info.get_service_type())
    cds = device.get_service(CDS)
    if cds is None:
        loop.quit()
        return
    browse(cds, "0", "BrowseDirectChildren")
    browse(cds, "0", "BrowseMetadata")
    browse(cds, "gr1", "BrowseDirectChildren")
    cds.connect("subscription-lost", on_subscription_lost)
    cds.set_subscribed(True)

    def report():
        out("subscribed", "yes" if cds.get_subscribed() and not found["lost"] else "no")
        loop.quit()
        return False

    GLib.timeout_add(1500, report)


context = GUPnP.Context.new_full(interface, None, 0, GSSDP.UDAVersion.VERSION_1_0)
control_point = GUPnP.ControlPoint.new(context, "urn:schemas-upnp-org:device:MediaServer:1")
control_point.connect("device-proxy-available", device_available)
control_point.set_active(True)
GLib.timeout_add_seconds(seconds, loop.quit)
loop.run()
sys.exit(0 if found["device"] else 1)
