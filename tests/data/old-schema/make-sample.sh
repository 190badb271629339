#!/usr/bin/env bash
# Rebuilds the sample databases of an early build: "config" without the tables userconfig and
# autobackupdir, "log" whose table has no timestr column. Tests copy zor/ into a user data
# folder and check that start-up migrates it without losing rows.
set -euo pipefail
cd "$(dirname "$0")"
rm -rf zor && mkdir -p zor
T=$'\t'
sqlite3 zor/config <<SQL
CREATE TABLE IF NOT EXISTS user(id INTEGER PRIMARY KEY , name VARCHAR(260) COLLATE NOCASE, UNIQUE (id));
INSERT INTO user VALUES(NULL,'alice');
INSERT INTO user VALUES(NULL,'Bob');
SQL
sqlite3 zor/txlog <<SQL
CREATE TABLE IF NOT EXISTS config(config VARCHAR(260)${T}PRIMARY KEY ,value VARCHAR(260)  ,UNIQUE (config));
CREATE TABLE IF NOT EXISTS last_tx_status(id INTERGER PRIMARY KEY, userid INTERGER, txstatus TINYINT, UNIQUE (id));
CREATE TABLE IF NOT EXISTS drag_dir(id INTEGER PRIMARY KEY , path VARCHAR(260) COLLATE NOCASE, pid${T}INT, share TINYINT, userid INTERGER, UNIQUE (id));
CREATE TABLE IF NOT EXISTS undo_files(id INTEGER PRIMARY KEY ,size INT , position INT,  sha VARCHAR(128), fid INT, pid${T}INT, path VARCHAR(260) COLLATE NOCASE, name VARCHAR(260)${T}COLLATE NOCASE, ctime${T}INT, mtime INT, type TINYINT, split_num TINYINT, userid INTERGER, UNIQUE (id));
CREATE TABLE IF NOT EXISTS dl_undo(id INTEGER PRIMARY KEY ,size INT , position INT, path VARCHAR(260) COLLATE NOCASE,url VARCHAR(512)${T}COLLATE NOCASE, split_num TINYINT, userid INTERGER, UNIQUE (id));
INSERT INTO drag_dir VALUES(NULL,'/home/alice/Projects',42,0,1);
INSERT INTO dl_undo VALUES(NULL, 1048576,65536,'/home/alice/Downloads/big.iso','http://download.example.com/qcd/fileshare/downloadFileAction.json?fid=7',8,1);
SQL
sqlite3 zor/log <<SQL
CREATE TABLE IF NOT EXISTS config(config VARCHAR(260)${T}PRIMARY KEY ,value VARCHAR(260)  ,UNIQUE (config));
CREATE TABLE IF NOT EXISTS log(id INTEGER PRIMARY KEY, name${T}VARCHAR(260)${T}COLLATE NOCASE, path${T}VARCHAR(260)${T}COLLATE NOCASE${T},size${T}INTEGER, type${T}TINYINT, userid INTERGER, UNIQUE (id));
INSERT INTO log VALUES(NULL,'report.pdf','/home/alice/Documents',12345,1,1);
INSERT INTO log VALUES(NULL,'фото 2019.jpg','/home/alice/Pictures',999,2,1);
INSERT INTO log VALUES(NULL,'notes.txt','/home/bob',0,1,2);
SQL
