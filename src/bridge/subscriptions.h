// The action-topic subscriptions of the broker session. By default every full configuration read
// makes a new clean session and subscribes its actors at QoS 0. With mqtt_command_qos the session
// is persistent: the broker keeps its subscriptions and queues the commands it accepts while the
// daemon is away, so the subscriptions are made at that QoS, and an actor that a read removed is
// unsubscribed, or the broker would queue commands for it for ever.
#pragma once

// Subscribes the action topic of an actor that the read entered in its table, at mqtt_command_qos.
// The message id and the result are not used: a failed subscription (no connection) is repaired
// by the next full read, which the session loss starts.
void mqtt_subscribe_action(const char* topic);

// Called by the full read after it subscribed every actor of its table. With a persistent session
// it unsubscribes, with a level-3 line each, every action topic that an earlier read of this
// process subscribed in the same session (same user name, persistent both times) and that
// the table no longer holds. Then it remembers the table for the next read. A topic subscribed
// before the process started is not known and stays until the broker ends the session.
void mqtt_unsubscribe_removed();
