// lndb: the Lotus Notes / Domino support library of the backup agent.
// Umbrella header: include this one to get the whole exported interface.
#pragma once

#include "browse.h"
#include "config_values.h"
#include "instance_name.h"
#include "maintenance_tasks.h"
#include "notes_entry_table.h"
#include "notes_output_log.h"
#include "notes_startup.h"
#include "partition_discovery.h"
#include "partition_service.h"
#include "process_environment.h"
#include "settings.h"
#include "text_utils.h"
