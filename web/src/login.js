// sited's login page: the name and password go to POST /api/login, whose
// answer sets the session's cookie (never readable by the page), and the
// site view opens. A wrong password says so; too many of them say how long
// to wait.

// What a login's answer means for the page: { state, text }.
export function loginOutcome(status, retryAfter) {
  if (status === 200) return { state: 'done', text: 'Logged in' };
  if (status === 401) return { state: 'wrong', text: 'Wrong name or password' };
  if (status === 429) return { state: 'wait', text: `Too many wrong passwords: try again in ${retryAfter} s` };
  return { state: 'error', text: `The site service answered ${status}` };
}

if (typeof document !== 'undefined') {
  const form = document.getElementById('login');
  const said = document.getElementById('login-state');
  form.addEventListener('submit', async (submitted) => {
    submitted.preventDefault();
    const password = document.getElementById('password');
    const body = JSON.stringify({ name: document.getElementById('name').value, password: password.value });
    password.value = '';
    let outcome;
    try {
      const response = await fetch('api/login', {
        method: 'POST', headers: { 'Content-Type': 'application/json' }, body, credentials: 'same-origin',
      });
      outcome = loginOutcome(response.status, response.headers.get('Retry-After'));
    } catch (error) {
      outcome = { state: 'error', text: `The site service is out of reach: ${error.message}` };
    }
    said.dataset.state = outcome.state;
    said.textContent = outcome.text;
    if (outcome.state === 'done') window.location.assign('./');
  });
}
