// Validates a CycloneDX 1.5 JSON document with the CycloneDX project's own
// library (its strict JSON schema, SPDX licence ids included): exit 0 when
// valid, 1 with the schema's errors, 2 when it cannot be read.
//   node validate.mjs FILE
import { readFileSync } from 'node:fs'
import * as CDX from '@cyclonedx/cyclonedx-library'

let text
try {
  text = readFileSync(process.argv[2], 'utf8')
} catch (e) {
  console.error(`validate.mjs: ${e.message}`)
  process.exit(2)
}
// The library names its schema versions by their number.
const validator = new CDX.Validation.JsonStrictValidator('1.5')
const errors = await validator.validate(text)
if (errors === null) {
  console.log(`${process.argv[2]}: valid CycloneDX 1.5 (@cyclonedx/cyclonedx-library, strict JSON schema)`)
  process.exit(0)
}
for (const e of errors) {
  console.error(`${e.instancePath || '/'}: ${e.message}`)
}
process.exit(1)
