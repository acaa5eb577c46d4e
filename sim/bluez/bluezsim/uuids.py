"""The sensor node's GATT service and characteristics."""

SERVICE_UUID = "00000001-5fe1-11ed-9b6a-0242ac120002"
CHAR_UUIDS = {
    "command": "00000002-5fe1-11ed-9b6a-0242ac120002",
    "data": "00000003-5fe1-11ed-9b6a-0242ac120002",
    "fota": "00000004-5fe1-11ed-9b6a-0242ac120002",
}
