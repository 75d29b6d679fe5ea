#!/usr/bin/env node
// SPDX-License-Identifier: MIT
// Checks files of OTLP/JSON lines (one LogsData object per line) against the
// OTLP protobuf definitions that an npm package ships, loaded as they are:
//
//   node check.js FILE...
//
// Every line must be one JSON object that is a LogsData message under the
// protobuf JSON mapping as OTLP uses it: only the lowerCamelCase names of
// the message's fields; no deprecated field; the right JSON type for each
// field; 64-bit integers as decimal strings in range; 32-bit integers as
// JSON numbers in range; enumerations as integers the enumeration defines;
// trace and span ids as lower-case hex of their length, other bytes as
// base64; at most one member of a oneof; and no field at its default value
// (the canonical form leaves those out) except a oneof member, whose
// presence is its meaning. Prints one line per fault and a summary per
// file; exits 1 when any line fails, 2 on bad usage.
'use strict';

const fs = require('fs');
const path = require('path');
const protobuf = require('protobufjs');

const protoPackage = require('@opentelemetry/otlp-grpc-exporter-base/package.json');
const protoRoot = path.join(
    path.dirname(require.resolve('@opentelemetry/otlp-grpc-exporter-base/package.json')),
    'build', 'protos');
const protoSource = `${protoPackage.name} ${protoPackage.version}`;

function loadLogsData() {
  const root = new protobuf.Root();
  root.resolvePath = (origin, target) => path.join(protoRoot, target);
  root.loadSync('opentelemetry/proto/logs/v1/logs.proto');
  root.resolveAll();
  return root.lookupType('opentelemetry.proto.logs.v1.LogsData');
}

const int64Range = {
  int64: [-(2n ** 63n), 2n ** 63n - 1n],
  sint64: [-(2n ** 63n), 2n ** 63n - 1n],
  sfixed64: [-(2n ** 63n), 2n ** 63n - 1n],
  uint64: [0n, 2n ** 64n - 1n],
  fixed64: [0n, 2n ** 64n - 1n],
};
const int32Range = {
  int32: [-(2 ** 31), 2 ** 31 - 1],
  sint32: [-(2 ** 31), 2 ** 31 - 1],
  sfixed32: [-(2 ** 31), 2 ** 31 - 1],
  uint32: [0, 2 ** 32 - 1],
  fixed32: [0, 2 ** 32 - 1],
};
// OTLP writes these bytes fields as hex of a fixed length, not base64.
const hexBytes = {traceId: 16, spanId: 8};

function isDefault(field, value) {
  if (field.repeated) return Array.isArray(value) && value.length === 0;
  if (field.resolvedType instanceof protobuf.Type) return false;
  if (field.type in int64Range) return value === '0';
  return value === 0 || value === '' || value === false;
}

// Checks `value` as message `type`; `where` names it in fault messages.
function checkMessage(type, value, where, faults) {
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    faults.push(`${where}: ${type.name} must be a JSON object`);
    return;
  }
  const byJsonName = new Map(type.fieldsArray.map((f) => [f.name, f]));
  const oneofSeen = new Map();
  for (const [key, member] of Object.entries(value)) {
    const field = byJsonName.get(key);
    const at = `${where}.${key}`;
    if (field === undefined) {
      const other = type.fieldsArray.find((f) => protobuf.util.camelCase(key) === f.name);
      faults.push(other ? `${at}: not the canonical name (${other.name})` :
                          `${at}: no such field in ${type.name}`);
      continue;
    }
    if (field.options && field.options.deprecated) {
      faults.push(`${at}: deprecated field`);
      continue;
    }
    if (field.partOf) {
      const other = oneofSeen.get(field.partOf.name);
      if (other) faults.push(`${at}: oneof ${field.partOf.name} already set by ${other}`);
      oneofSeen.set(field.partOf.name, key);
    } else if (isDefault(field, member)) {
      faults.push(`${at}: default value written (the canonical form leaves it out)`);
    }
    if (field.repeated) {
      if (!Array.isArray(member)) {
        faults.push(`${at}: repeated field must be a JSON array`);
        continue;
      }
      member.forEach((element, i) => checkValue(type, field, element, `${at}[${i}]`, faults));
    } else {
      checkValue(type, field, member, at, faults);
    }
  }
}

function checkValue(type, field, value, at, faults) {
  const resolved = field.resolvedType;
  if (resolved instanceof protobuf.Type) return checkMessage(resolved, value, at, faults);
  if (resolved instanceof protobuf.Enum) {
    if (!Number.isInteger(value)) {
      faults.push(`${at}: enumeration ${resolved.name} must be an integer`);
    } else if (!Object.values(resolved.values).includes(value)) {
      faults.push(`${at}: ${value} is no value of ${resolved.name}`);
    }
    return;
  }
  const kind = field.type;
  if (kind in int64Range) {
    if (typeof value !== 'string' || !/^-?(0|[1-9][0-9]*)$/.test(value)) {
      faults.push(`${at}: ${kind} must be a decimal string`);
    } else {
      const [low, high] = int64Range[kind];
      const n = BigInt(value);
      if (n < low || n > high) faults.push(`${at}: ${value} out of ${kind} range`);
    }
  } else if (kind in int32Range) {
    const [low, high] = int32Range[kind];
    if (!Number.isInteger(value) || value < low || value > high) {
      faults.push(`${at}: ${kind} must be a JSON integer in range`);
    }
  } else if (kind === 'string') {
    if (typeof value !== 'string') faults.push(`${at}: string expected`);
  } else if (kind === 'bool') {
    if (typeof value !== 'boolean') faults.push(`${at}: true or false expected`);
  } else if (kind === 'double' || kind === 'float') {
    if (typeof value !== 'number' && !['NaN', 'Infinity', '-Infinity'].includes(value)) {
      faults.push(`${at}: number expected`);
    }
  } else if (kind === 'bytes') {
    const hexLength = type.name === 'LogRecord' ? hexBytes[field.name] : undefined;
    if (hexLength !== undefined) {
      if (typeof value !== 'string' || !new RegExp(`^[0-9a-f]{${2 * hexLength}}$`).test(value)) {
        faults.push(`${at}: ${hexLength} bytes as lower-case hex expected`);
      }
    } else if (typeof value !== 'string' ||
               !/^([A-Za-z0-9+/]{4})*([A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/.test(value)) {
      faults.push(`${at}: base64 expected`);
    }
  } else {
    faults.push(`${at}: field type ${kind} not known to this checker`);
  }
}

function main(files) {
  if (files.length === 0) {
    process.stderr.write('usage: check.js FILE...\n');
    return 2;
  }
  const logsData = loadLogsData();
  let failed = false;
  for (const file of files) {
    const text = fs.readFileSync(file, 'utf8');
    const lines = text.split('\n');
    if (lines[lines.length - 1] === '') lines.pop(); else failed = true;
    let records = 0;
    let faulty = 0;
    lines.forEach((line, i) => {
      const faults = [];
      let value;
      try {
        value = JSON.parse(line);
      } catch (e) {
        faults.push(`not JSON: ${e.message}`);
      }
      if (faults.length === 0) checkMessage(logsData, value, 'LogsData', faults);
      if (faults.length === 0) {
        for (const resourceLogs of value.resourceLogs || []) {
          for (const scopeLogs of resourceLogs.scopeLogs || []) {
            records += (scopeLogs.logRecords || []).length;
          }
        }
      } else {
        ++faulty;
        for (const fault of faults) process.stdout.write(`${file}:${i + 1}: ${fault}\n`);
      }
    });
    if (!text.endsWith('\n')) process.stdout.write(`${file}: the last line has no line end\n`);
    process.stdout.write(`${file}: ${lines.length} lines, ${records} log records, ` +
                         `${faulty} lines rejected (OTLP definitions of ${protoSource})\n`);
    if (faulty !== 0 || lines.length === 0) failed = true;
  }
  return failed ? 1 : 0;
}

process.exitCode = main(process.argv.slice(2));
