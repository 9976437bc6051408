#include "bridge/settings.h"

int32_t mqtt_enabled = 0;
char mqtt_host[kSettingSize] = "";
int32_t mqtt_port = 0;
int32_t mqtt_keepalive = 0;
char mqtt_username[kSettingSize] = "";
char mqtt_password[kSettingSize] = "";
int32_t mqtt_interval = 30;
double mqtt_threshold = 0.0;
int32_t mqtt_reload_seen = -1;

int32_t mqtt_publish_sensor_dbids = 0;
int32_t mqtt_publish_sensor_dbid[kTableSize];
char mqtt_publish_sensor_name[kTableSize][kCallNameSize];

int32_t mqtt_subscribe_actor_dbids = 0;
int32_t mqtt_subscribe_actor_dbid[kTableSize];
char mqtt_subscribe_actor_name[kTableSize][kCallNameSize];
char mqtt_subscribe_actor_topic[kTableSize][kActionTopicSize];
