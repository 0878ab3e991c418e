-- Tables of driver_strova5 (MySQL 5.7+ / MariaDB 10.3+).
--
-- Load once into an empty database before the first start:
--     mariadb -h HOST -u USER -p DATABASE < sql/schema.sql
-- The driver itself adds the column `modems_cmd`.`data` and the tables `modems_iec104` and
-- `driver_state` (the mark of the command numbers it has taken) when they are missing; every table
-- below must exist before it starts.
--
-- Every text column is utf8mb4 so that settings and command data keep any character; names that
-- are compared (setting names) use a binary collation so that "sn" and "SN" stay apart.

-- One row per value or archive record of an uplink. REPLACE overwrites the row of the same
-- modem, type, time and index, so a record read twice is stored once.
CREATE TABLE IF NOT EXISTS `modems_data` (
    `modem_id`     INT UNSIGNED      NOT NULL,
    `ts`           INT UNSIGNED      NOT NULL COMMENT 'record time, UNIX seconds',
    `ts_get`       INT UNSIGNED      NOT NULL COMMENT 'reception time of the uplink',
    `type`         TINYINT UNSIGNED  NOT NULL COMMENT 'header byte of the uplink',
    `index`        SMALLINT UNSIGNED NOT NULL COMMENT '65535 = no index',
    `index_max`    SMALLINT UNSIGNED NULL,
    `OBIS_1_8_0`   DOUBLE NULL,
    `OBIS_1_8_1`   DOUBLE NULL,
    `OBIS_1_8_2`   DOUBLE NULL,
    `OBIS_1_8_3`   DOUBLE NULL,
    `OBIS_1_8_4`   DOUBLE NULL,
    `OBIS_2_8_0`   DOUBLE NULL,
    `OBIS_2_8_1`   DOUBLE NULL,
    `OBIS_2_8_2`   DOUBLE NULL,
    `OBIS_2_8_3`   DOUBLE NULL,
    `OBIS_2_8_4`   DOUBLE NULL,
    `OBIS_3_8_0`   DOUBLE NULL,
    `OBIS_3_8_1`   DOUBLE NULL,
    `OBIS_3_8_2`   DOUBLE NULL,
    `OBIS_3_8_3`   DOUBLE NULL,
    `OBIS_3_8_4`   DOUBLE NULL,
    `OBIS_4_8_0`   DOUBLE NULL,
    `OBIS_4_8_1`   DOUBLE NULL,
    `OBIS_4_8_2`   DOUBLE NULL,
    `OBIS_4_8_3`   DOUBLE NULL,
    `OBIS_4_8_4`   DOUBLE NULL,
    `OBIS_9_8_0`   DOUBLE NULL,
    `OBIS_9_8_1`   DOUBLE NULL,
    `OBIS_9_8_2`   DOUBLE NULL,
    `OBIS_9_8_3`   DOUBLE NULL,
    `OBIS_9_8_4`   DOUBLE NULL,
    `OBIS_1_6_0`   DOUBLE NULL,
    `OBIS_1_7_0`   DOUBLE NULL,
    `OBIS_21_7_0`  DOUBLE NULL,
    `OBIS_41_7_0`  DOUBLE NULL,
    `OBIS_61_7_0`  DOUBLE NULL,
    `OBIS_3_7_0`   DOUBLE NULL,
    `OBIS_23_7_0`  DOUBLE NULL,
    `OBIS_43_7_0`  DOUBLE NULL,
    `OBIS_63_7_0`  DOUBLE NULL,
    `OBIS_9_7_0`   DOUBLE NULL,
    `OBIS_29_7_0`  DOUBLE NULL,
    `OBIS_49_7_0`  DOUBLE NULL,
    `OBIS_69_7_0`  DOUBLE NULL,
    `OBIS_11_7_0`  DOUBLE NULL,
    `OBIS_31_7_0`  DOUBLE NULL,
    `OBIS_51_7_0`  DOUBLE NULL,
    `OBIS_71_7_0`  DOUBLE NULL,
    `OBIS_91_7_0`  DOUBLE NULL,
    `OBIS_32_7_0`  DOUBLE NULL,
    `OBIS_52_7_0`  DOUBLE NULL,
    `OBIS_72_7_0`  DOUBLE NULL,
    `OBIS_14_7_0`  DOUBLE NULL,
    `OBIS_13_7_0`  DOUBLE NULL,
    `OBIS_33_7_0`  DOUBLE NULL,
    `OBIS_53_7_0`  DOUBLE NULL,
    `OBIS_73_7_0`  DOUBLE NULL,
    `OBIS_81_7_10` DOUBLE NULL,
    `OBIS_81_7_21` DOUBLE NULL,
    `OBIS_81_7_2`  DOUBLE NULL,
    `OBIS_ext`     TEXT NULL COMMENT 'all values as a JSON object keyed by the hex OBIS code',
    PRIMARY KEY (`modem_id`, `type`, `ts`, `index`),
    KEY `type_ts` (`type`, `ts`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- One row per event of an uplink; `type` is the E byte of the event log's OBIS code.
-- REPLACE overwrites an event read twice (same modem, log, time, index and code).
CREATE TABLE IF NOT EXISTS `modems_event` (
    `modem_id`     INT UNSIGNED      NOT NULL,
    `ts`           INT UNSIGNED      NOT NULL,
    `ts_get`       INT UNSIGNED      NOT NULL,
    `type`         TINYINT UNSIGNED  NOT NULL,
    `index`        SMALLINT UNSIGNED NOT NULL,
    `index_max`    SMALLINT UNSIGNED NULL,
    `event`        INT UNSIGNED      NOT NULL,
    `worktime`     INT UNSIGNED      NOT NULL,
    `OBIS_12_7_0`  DOUBLE NULL,
    `OBIS_12_7_4`  DOUBLE NULL,
    `OBIS_96_8_10` DOUBLE NULL,
    `OBIS_96_12_4` DOUBLE NULL,
    `OBIS_96_12_6` DOUBLE NULL,
    `value_old`    DOUBLE NULL,
    `ext`          TEXT NULL COMMENT 'all values as a JSON object keyed by the hex OBIS code',
    PRIMARY KEY (`modem_id`, `type`, `ts`, `index`, `event`),
    KEY `ts` (`ts`),
    KEY `type_ts` (`type`, `ts`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- One row per command sent through the database; every state update addresses it by `cmd_id`.
-- The driver adds the column `data` (after `state`) at start when it is missing.
CREATE TABLE IF NOT EXISTS `modems_cmd` (
    `cmd_id`   INT UNSIGNED     NOT NULL,
    `modem_id` INT UNSIGNED     NOT NULL,
    `ts`       INT UNSIGNED     NOT NULL COMMENT 'request time, UNIX seconds',
    `setting`  VARCHAR(128) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
    `state`    TINYINT UNSIGNED NOT NULL COMMENT '0 text sent, 1 sent, 2 delivered, 3 done, 4 failed, 5 awaiting confirmation',
    PRIMARY KEY (`cmd_id`),
    KEY `modem_setting_ts` (`modem_id`, `setting`, `ts`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- One current row per modem and setting (REPLACE keeps the newest value).
CREATE TABLE IF NOT EXISTS `modems_setting` (
    `modem_id` INT UNSIGNED     NOT NULL,
    `ts`       INT UNSIGNED     NOT NULL,
    `state`    TINYINT UNSIGNED NOT NULL DEFAULT 0 COMMENT 'only rows with 0 are loaded at start',
    `setting`  VARCHAR(128) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
    `data`     MEDIUMTEXT NOT NULL COMMENT 'compact JSON for maps and lists, else the text',
    PRIMARY KEY (`modem_id`, `setting`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Raw uplinks, written by a component outside the driver and only read by it.
CREATE TABLE IF NOT EXISTS `incoming` (
    `id`         BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
    `modem_id`   VARCHAR(16) NOT NULL COMMENT 'modem id as hexadecimal text',
    `data`       TEXT NULL,
    `event_time` INT NOT NULL COMMENT 'UNIX seconds',
    PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
