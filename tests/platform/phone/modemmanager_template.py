'''A mock ModemManager for python-dbusmock: no modems until AddModem adds one. A modem with messaging keeps the
messages that Messaging.Create makes; Sms.Send marks one sent (State 5), or refuses ("fails") or takes 10 s ("stalls").
'''

import time

import dbus

from dbusmock import MOCK_IFACE, mockobject

SYSTEM_BUS = True
BUS_NAME = 'org.freedesktop.ModemManager1'
MAIN_OBJ = '/org/freedesktop/ModemManager1'
MAIN_IFACE = 'org.freedesktop.ModemManager1'
IS_OBJECT_MANAGER = True

MODEM_IFACE = 'org.freedesktop.ModemManager1.Modem'
MESSAGING_IFACE = 'org.freedesktop.ModemManager1.Modem.Messaging'
SMS_IFACE = 'org.freedesktop.ModemManager1.Sms'


def load(mock, _parameters):
    mock.modem_count = 0
    mock.sms_count = 0


def send_sms(sms):
    modem = mockobject.objects[sms.modem_path]
    if modem.behaviour == 'stalls':
        time.sleep(10)
    if modem.behaviour == 'fails':
        raise dbus.exceptions.DBusException('the network refused the message',
                                            name='org.freedesktop.ModemManager1.Error.Core.Failed')
    sms.UpdateProperties(SMS_IFACE, {'State': dbus.UInt32(5)})  # sent


def create_sms(modem, properties):
    owner = mockobject.objects[MAIN_OBJ]
    owner.sms_count += 1
    path = f'{MAIN_OBJ}/SMS/{owner.sms_count}'
    owner.AddObject(path, SMS_IFACE, {
        'State': dbus.UInt32(1),  # stored
        'Number': dbus.String(properties.get('number', '')),
        'Text': dbus.String(properties.get('text', '')),
        'Class': dbus.Int32(properties.get('class', -1)),
        'DeliveryReportRequest': dbus.Boolean(properties.get('delivery-report-request', False)),
    }, [])
    sms = mockobject.objects[path]
    sms.modem_path = modem.path
    sms.AddMethod(SMS_IFACE, 'Send', '', '', send_sms)
    messages = list(modem.props[MESSAGING_IFACE]['Messages']) + [dbus.ObjectPath(path)]
    modem.UpdateProperties(MESSAGING_IFACE, {'Messages': dbus.Array(messages, signature='o')})
    return dbus.ObjectPath(path)


def delete_sms(modem, path):
    messages = [m for m in modem.props[MESSAGING_IFACE]['Messages'] if m != path]
    modem.UpdateProperties(MESSAGING_IFACE, {'Messages': dbus.Array(messages, signature='o')})
    mockobject.objects[MAIN_OBJ].RemoveObject(path)


@dbus.service.method(MOCK_IFACE, in_signature='bs', out_signature='o')
def AddModem(self, messaging, behaviour):
    '''Adds a registered modem, with messaging when asked; behaviour is
    "sends", "fails" or "stalls". Returns the modem's object path.'''
    self.modem_count += 1
    path = f'{MAIN_OBJ}/Modem/{self.modem_count}'
    self.AddObject(path, MODEM_IFACE, {'State': dbus.Int32(8)}, [])  # registered
    modem = mockobject.objects[path]
    modem.behaviour = behaviour
    if messaging:
        modem.AddProperties(MESSAGING_IFACE, {'Messages': dbus.Array([], signature='o')})
        modem.AddMethod(MESSAGING_IFACE, 'Create', 'a{sv}', 'o', create_sms)
        modem.AddMethod(MESSAGING_IFACE, 'Delete', 'o', '', delete_sms)
    self.object_manager_emit_added(path)
    return dbus.ObjectPath(path)


@dbus.service.method(MOCK_IFACE, in_signature='o', out_signature='a(ssibu)')
def Messages(self, modem):
    '''The messages the modem holds, oldest first: number, text, class,
    delivery report asked for, state.'''
    found = []
    for path in mockobject.objects[modem].props.get(MESSAGING_IFACE, {}).get('Messages', []):
        sms = mockobject.objects[path].props[SMS_IFACE]
        found.append((sms['Number'], sms['Text'], sms['Class'], sms['DeliveryReportRequest'], sms['State']))
    return dbus.Array(found, signature='(ssibu)')
