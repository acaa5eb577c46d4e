"""The cloud stand-in's channel server speaks as the real one was seen to."""

import asyncio
import json
import ssl
import time

import aiohttp

from cloudsim.cable_client import CableControl
from fixtures.wsbridge import identifier

NODE = "C1A000000001"


def subscribe(ident):
    return json.dumps({"command": "subscribe", "identifier": ident})


async def session(cloud, token, script):
    """Runs `script(ws, response headers)` on a connection offering the subprotocol."""
    context = ssl.create_default_context(cafile=cloud.ca_file)
    async with aiohttp.ClientSession() as http:
        async with http.ws_connect("%s/cable?access_token=%s" % (cloud.url, token),
                                   ssl=context, protocols=("actioncable-v1-json",),
                                   autoping=True) as ws:
            return await script(ws, ws._response.headers)


async def frames(ws, count):
    """The next `count` text frames, leaving out the server's pings."""
    out = []
    while len(out) < count:
        msg = await asyncio.wait_for(ws.receive(), 10)
        assert msg.type == aiohttp.WSMsgType.TEXT, msg
        if json.loads(msg.data).get("type") != "ping":
            out.append(msg.data)
    return out


def test_subscriptions_pushes_and_pings(cloud):
    cable = CableControl(cloud)
    cable.refuse_devices(["REFUSED00001"])
    sensor = identifier(NODE)
    swapped = '{"device_id":"%s","channel":"SensorChannel"}' % NODE

    async def script(ws, headers):
        assert headers.get("Sec-WebSocket-Protocol") == "actioncable-v1-json"
        assert "Server" not in headers
        assert await frames(ws, 1) == ['{"type":"welcome"}']
        for text in (subscribe(sensor), subscribe(sensor), subscribe(identifier(NODE, "Other")),
                     "not json", '{"command":"dance"}', subscribe(identifier("REFUSED00001")),
                     subscribe(swapped)):
            await ws.send_str(text)
        await ws.send_bytes(b"\x00\x01")
        # Only the first subscribe, the refusal and the other key order get an answer.
        assert await frames(ws, 3) == [
            json.dumps({"identifier": sensor, "type": "confirm_subscription"},
                       separators=(",", ":")),
            json.dumps({"identifier": identifier("REFUSED00001"), "type": "reject_subscription"},
                       separators=(",", ":")),
            json.dumps({"identifier": swapped, "type": "confirm_subscription"},
                       separators=(",", ":")),
        ]
        assert cable.push(NODE, {"name": "<a&b>"}) == 2
        assert await frames(ws, 1) == [
            '{"identifier":%s,"message":{"name":"\\u003ca\\u0026b\\u003e"}}' % json.dumps(sensor)]
        started = time.time()
        while True:
            msg = json.loads((await asyncio.wait_for(ws.receive(), 5)).data)
            if msg.get("type") == "ping":
                break
        assert time.time() - started <= 3.5 and abs(msg["message"] - time.time()) <= 2
        await ws.send_str(json.dumps({"command": "unsubscribe", "identifier": sensor}))
        await ws.close()

    asyncio.run(session(cloud, cloud.token, script))
    assert len(cable.commands()) == 9
    [conn] = cable.connections()
    assert conn["subscriptions"] == [swapped]
    assert conn["ended"]["by"] == "client" and conn["ended"]["code"] == 1000


def test_a_wrong_token_and_a_restart_are_disconnects_with_a_close(cloud):
    cable = CableControl(cloud)

    async def unauthorized(ws, headers):
        assert await frames(ws, 1) == [
            '{"type":"disconnect","reason":"unauthorized","reconnect":false}']
        msg = await asyncio.wait_for(ws.receive(), 10)
        return msg.type, msg.data, msg.extra

    assert asyncio.run(session(cloud, "wrong", unauthorized)) == (
        aiohttp.WSMsgType.CLOSE, 1000, "")

    async def restarted(ws, headers):
        await frames(ws, 1)
        cable.fault("restart")
        assert await frames(ws, 1) == [
            '{"type":"disconnect","reason":"server_restart","reconnect":true}']
        msg = await asyncio.wait_for(ws.receive(), 10)
        return msg.type, msg.data

    assert asyncio.run(session(cloud, cloud.token, restarted)) == (aiohttp.WSMsgType.CLOSE, 1000)
    assert [c["authorized"] for c in cable.connections()] == [False, True]
    assert len(cloud.received("/cable")) == 2
